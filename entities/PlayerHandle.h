#pragma once
// How scripts hold a player: every object of the script class "Player" is a
// handle that names its player by the GUID of the player's connection and
// finds it in the entity registry on every call. So a handle that a script
// keeps after its player has left (in a global, in an item, in an unfinished
// walk of "Players") raises a script error instead of reaching freed memory,
// and it never keeps the player from being deleted: it pins the player only
// for the length of one call, never while script code runs.
#include <cstdint>

#include "entities/EntityManager.h"
#include "math/Vector3.h"
#include "net/Types.h"

namespace Tav {

class ItemWrapper;
class Player;

class PlayerHandle {
public:
    // A handle of a player that the caller keeps alive meanwhile (it is
    // registered, or pinned).
    explicit PlayerHandle(const Player& player);

    // The registered player of the GUID, pinned; empty once it has left.
    // (A peer that connects again keeps its GUID: a handle kept from before
    // then finds the new player of that peer.)
    PlayerRef Find() const;
    Net::Guid GetGuid() const { return guid_; }

    // The script methods. Each raises ScriptError with kLeftMessage when
    // the player is gone.
    // "SetItem": the player takes its own copy of the item (Lua lock held).
    void SetItem(ItemWrapper item) const;
    // "GetGuidAsInteger": Net::Guid::ToUint32 of the player's GUID.
    uint32_t GetGuidAsInteger() const;
    // "PushPlayer": the player's push vector becomes a copy of push.
    void PushPlayer(const Vector3& push) const;

    static constexpr const char* kLeftMessage = "The player has left the server.";

private:
    PlayerRef FindOrRaise() const;

    Net::Guid guid_;
};

}  // namespace Tav
