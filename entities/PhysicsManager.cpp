#include "entities/PhysicsManager.h"

#include "entities/PhysicsEntity.h"

namespace Tav {

namespace {
const btScalar kFixedSubStep = btScalar(1.0f / 60.0f);
const int kMaxSubSteps = 10;
const btScalar kMass = btScalar(1.0f);
}  // namespace

void EntityMotionState::getWorldTransform(btTransform& worldTrans) const {
    Vector3 position(0.0, 0.0, 0.0);
    if (entity != nullptr) position = entity->CopyPosition(false);
    worldTrans.setOrigin(btVector3(static_cast<btScalar>(static_cast<float>(position.x)),
                                   static_cast<btScalar>(static_cast<float>(position.y)),
                                   static_cast<btScalar>(static_cast<float>(position.z))));
    // Every box starts turned by 1.57 rad about (1, 1, 0)/sqrt 2, whatever
    // the entity's own rotation says.
    worldTrans.setBasis(btMatrix3x3(btQuaternion(btVector3(1, 1, 0).normalized(), btScalar(1.57f))));
}

void EntityMotionState::setWorldTransform(const btTransform& worldTrans) {
    if (entity == nullptr) return;
    MotionState state;
    const btVector3& origin = worldTrans.getOrigin();
    state.position = Vector3(origin.x(), origin.y(), origin.z());
    btQuaternion q;
    worldTrans.getBasis().getRotation(q);
    state.rotation = Quaternion(q.x(), q.y(), q.z(), q.w());
    std::lock_guard<std::mutex> lock(entity->mutex);
    entity->simulatedState = state;
}

PhysicsManager::PhysicsManager() : lastPass_(std::chrono::steady_clock::now()) {}

PhysicsManager::~PhysicsManager() { Shutdown(); }

void PhysicsManager::InitWorld() {
    std::lock_guard<std::mutex> lock(worldMutex);
    if (world_ != nullptr) return;
    btDefaultCollisionConstructionInfo info;
    info.m_persistentManifoldPool = nullptr;
    info.m_collisionAlgorithmPool = nullptr;
    info.m_defaultMaxPersistentManifoldPoolSize = 4096;
    info.m_defaultMaxCollisionAlgorithmPoolSize = 4096;
    info.m_customCollisionAlgorithmMaxElementSize = 0;
    info.m_useEpaPenetrationAlgorithm = 1;
    collisionConfiguration_ = new btDefaultCollisionConfiguration(info);
    dispatcher_ = new btCollisionDispatcher(collisionConfiguration_);
    broadphase_ = new btDbvtBroadphase(nullptr);
    solver_ = new btSequentialImpulseConstraintSolver();
    world_ = new btDiscreteDynamicsWorld(dispatcher_, broadphase_, solver_, collisionConfiguration_);
    world_->setGravity(btVector3(0, -10, 0));
    const btVector3 halfExtents(0.4f, 0.48f, 0.4f);
    bodyShape_ = new btBoxShape(halfExtents);
    inertiaShape_ = new btBoxShape(halfExtents);
    inertiaShape_->calculateLocalInertia(kMass, localInertia_);
}

void PhysicsManager::Run() {
    while (running.load()) {
        const auto now = std::chrono::steady_clock::now();
        const double dt = std::chrono::duration<double>(now - lastPass_).count();
        lastPass_ = now;
        Step(dt);
        std::this_thread::yield();
    }
}

void PhysicsManager::Start() {
    if (thread.joinable()) return;
    running = true;
    thread = std::thread(&PhysicsManager::Run, this);
}

void PhysicsManager::Stop() {
    running = false;
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void PhysicsManager::Step(double dt) {
    std::lock_guard<std::mutex> lock(worldMutex);
    if (world_ == nullptr) return;
    world_->stepSimulation(static_cast<btScalar>(dt), kMaxSubSteps, kFixedSubStep);
}

void PhysicsManager::AddEntity(PhysicsEntity* entity) {
    if (entity == nullptr) return;
    // The body is built under the world mutex too: Bullet's constructors are
    // not safe to run on two threads at once, and reading the entity's start
    // pose here keeps the lock order (world, then entity).
    std::lock_guard<std::mutex> lock(worldMutex);
    if (world_ == nullptr || entity->physics_.load() != nullptr) return;
    auto* motion = new EntityMotionState(entity);
    btRigidBody::btRigidBodyConstructionInfo info(kMass, motion, bodyShape_, localInertia_);
    auto* body = new btRigidBody(info);
    body->setDamping(btScalar(0.2f), btScalar(0.1f));
    body->setFriction(btScalar(0.8f));
    world_->addRigidBody(body);
    entity->physics_ = this;
}

void PhysicsManager::ReleaseBody(btCollisionObject* object) {
    btRigidBody* body = btRigidBody::upcast(object);
    if (body != nullptr && body->getMotionState() != nullptr) {
        auto* motion = static_cast<EntityMotionState*>(body->getMotionState());
        if (motion->entity != nullptr) motion->entity->physics_ = nullptr;
        delete motion;
    }
    world_->removeCollisionObject(object);
    delete object;
}

void PhysicsManager::RemoveEntity(PhysicsEntity* entity) {
    std::lock_guard<std::mutex> lock(worldMutex);
    if (world_ == nullptr) return;
    btCollisionObjectArray& objects = world_->getCollisionObjectArray();
    for (int i = objects.size() - 1; i >= 0; --i) {
        btRigidBody* body = btRigidBody::upcast(objects[i]);
        if (body == nullptr || body->getMotionState() == nullptr) continue;
        if (static_cast<EntityMotionState*>(body->getMotionState())->entity == entity) ReleaseBody(objects[i]);
    }
    entity->physics_ = nullptr;
}

void PhysicsManager::Shutdown() {
    Stop();
    std::lock_guard<std::mutex> lock(worldMutex);
    if (world_ != nullptr) {
        for (int i = world_->getNumCollisionObjects() - 1; i >= 0; --i)
            ReleaseBody(world_->getCollisionObjectArray()[i]);
    }
    delete bodyShape_;
    bodyShape_ = nullptr;
    delete inertiaShape_;
    inertiaShape_ = nullptr;
    delete world_;
    world_ = nullptr;
    delete solver_;
    solver_ = nullptr;
    delete broadphase_;
    broadphase_ = nullptr;
    delete dispatcher_;
    dispatcher_ = nullptr;
    delete collisionConfiguration_;
    collisionConfiguration_ = nullptr;
}

int PhysicsManager::GetBodyCount() {
    std::lock_guard<std::mutex> lock(worldMutex);
    return world_ != nullptr ? world_->getNumCollisionObjects() : 0;
}

bool PhysicsManager::HasWorld() {
    std::lock_guard<std::mutex> lock(worldMutex);
    return world_ != nullptr;
}

}  // namespace Tav
