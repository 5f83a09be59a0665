#include "entities/Inventory.h"

#include "world/BrickCatalogue.h"

namespace Tav {

Inventory::Inventory() {
    const std::vector<BrickType>& types = BrickCatalogue::Types();
    slots.reserve(types.size());
    for (const BrickType& type : types) slots.push_back(InventorySlot{&type, 0});
}

Inventory::Inventory(const std::vector<const BrickType*>& types) {
    slots.reserve(types.size());
    for (const BrickType* type : types) slots.push_back(InventorySlot{type, 0});
}

void Inventory::Add(const BrickType& type, int32_t amount) {
    for (InventorySlot& slot : slots) {
        if (slot.type->typeId == type.typeId) {
            // Counts wrap rather than overflow: they are not bounded.
            slot.count = static_cast<int32_t>(static_cast<uint32_t>(slot.count) + static_cast<uint32_t>(amount));
            changed = true;
            return;
        }
    }
}

int32_t Inventory::GetCount(const BrickType& type) const {
    for (const InventorySlot& slot : slots)
        if (slot.type->typeId == type.typeId) return slot.count;
    return 0;
}

void Inventory::Serialize(Net::BitStream* out) {
    const bool wasChanged = changed;
    changed = false;
    out->WriteBit(wasChanged);
    if (!wasChanged) return;
    out->Write(static_cast<uint32_t>(slots.size()));
    for (const InventorySlot& slot : slots) {
        out->Write(static_cast<uint32_t>(slot.type->typeId));
        out->Write(static_cast<uint32_t>(slot.count));
    }
}

void Inventory::Deserialize(Net::BitStream* in) {
    bool full = false;
    if (!in->ReadBit(full) || !full) return;
    uint32_t n = 0;
    if (!in->Read(n)) return;
    // n comes from the sender: nothing is allocated for it, and the first
    // pair that the stream does not hold whole ends the reading.
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t typeId = 0;
        uint32_t count = 0;
        if (!in->Read(typeId) || !in->Read(count)) return;
        for (InventorySlot& slot : slots)
            if (slot.type->typeId == typeId) slot.count = static_cast<int32_t>(count);
    }
}

}  // namespace Tav
