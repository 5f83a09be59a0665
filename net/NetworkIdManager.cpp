// Network identifiers: a counter per manager, and the objects filed under them.
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "net/ReplicaManager.h"
#include "net/ReplicaMemory.h"

namespace Net {

struct NetworkIdManager::Impl {
    NET_HOOKED_NEW
    mutable std::mutex mutex;
    NetworkId next = 1;
    HookUnorderedMap<NetworkId, NetworkIdObject*> byId;
    // Every object that carries an identifier of this manager, filed or not,
    // so that the manager can let go of them when it goes first.
    HookUnorderedSet<NetworkIdObject*> objects;
};

NetworkIdObject::~NetworkIdObject() {
    if (NetworkIdManager* manager = manager_) manager->Unregister(this);
}

NetworkIdManager::NetworkIdManager() : impl_(std::make_unique<Impl>()) {}

NetworkIdManager::~NetworkIdManager() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (NetworkIdObject* object : impl_->objects) object->manager_ = nullptr;
}

// Callers hold the mutex.
static void Release(NetworkIdManager::Impl& impl, NetworkIdObject* object, NetworkId id) {
    auto it = impl.byId.find(id);
    if (it != impl.byId.end() && it->second == object) impl.byId.erase(it);
    impl.objects.erase(object);
}

NetworkId NetworkIdManager::Assign(NetworkIdObject* object) {
    if (!object) return UNASSIGNED_NETWORK_ID;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (object->manager_ == this) Release(*impl_, object, object->networkId_);
    NetworkId id;
    do {
        id = impl_->next++;
    } while (id == UNASSIGNED_NETWORK_ID || impl_->byId.count(id) != 0);
    impl_->byId[id] = object;
    impl_->objects.insert(object);
    object->networkId_ = id;
    object->manager_ = this;
    return id;
}

void NetworkIdManager::Register(NetworkIdObject* object, NetworkId id) {
    if (!object) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (object->manager_ == this) Release(*impl_, object, object->networkId_);
    // Identifiers chosen by different peers may coincide: the first object
    // filed under an identifier keeps it for Get; the others still carry it.
    if (id != UNASSIGNED_NETWORK_ID) impl_->byId.emplace(id, object);
    impl_->objects.insert(object);
    object->networkId_ = id;
    object->manager_ = this;
}

void NetworkIdManager::Unregister(NetworkIdObject* object) {
    if (!object) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (object->manager_ != this) return;
    Release(*impl_, object, object->networkId_);
    object->networkId_ = UNASSIGNED_NETWORK_ID;
    object->manager_ = nullptr;
}

NetworkIdObject* NetworkIdManager::Get(NetworkId id) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->byId.find(id);
    return it == impl_->byId.end() ? nullptr : it->second;
}

}  // namespace Net
