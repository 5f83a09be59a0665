#pragma once
// A player's bricks: one counter per brick type of the catalogue, in
// catalogue order. The slots are fixed at construction.
//
// Wire form: one bit, the changed flag (cleared by the writer as it writes
// it); only when it is 1: u32 n, then n pairs of u32 type id and u32 count
// (the count's 32 bits), big-endian, in slot order.
//
// An inventory has no lock of its own: the player that embeds it guards it
// with the player's mutex (see Player).
#include <cstdint>
#include <vector>

#include "net/BitStream.h"

namespace Tav {

struct BrickType;

struct InventorySlot {
    const BrickType* type = nullptr;  // catalogue entry, not owned
    int32_t count = 0;
};

class Inventory {
public:
    // One empty slot per entry of the brick catalogue (which must be built).
    Inventory();
    // One empty slot per given type, in order.
    explicit Inventory(const std::vector<const BrickType*>& types);

    // Adds amount (which may be negative) to the first slot of the type's id
    // and marks the inventory changed; a type without a slot changes nothing.
    void Add(const BrickType& type, int32_t amount);
    // The count of the first slot of the type's id, 0 when there is none.
    int32_t GetCount(const BrickType& type) const;

    // Writes the changed bit and, when it was set, the slots; clears it.
    void Serialize(Net::BitStream* out);
    // Reads a written form and replaces the counts of the slots it names.
    // Stops at the first read that fails: a pair that was not read whole is
    // never applied. Leaves the changed flag alone.
    void Deserialize(Net::BitStream* in);

    bool changed = false;
    std::vector<InventorySlot> slots;
};

}  // namespace Tav
