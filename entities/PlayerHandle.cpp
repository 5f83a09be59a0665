#include "entities/PlayerHandle.h"

#include <utility>

#include "entities/Item.h"
#include "entities/Player.h"
#include "entities/ScriptError.h"

namespace Tav {

PlayerHandle::PlayerHandle(const Player& player) : guid_(player.guid) {}

PlayerRef PlayerHandle::Find() const { return g_entityManager.FindPlayerRefByGuid(guid_); }

PlayerRef PlayerHandle::FindOrRaise() const {
    PlayerRef found = Find();
    if (!found) throw ScriptError(kLeftMessage);
    return found;
}

void PlayerHandle::SetItem(ItemWrapper item) const { FindOrRaise()->SetItem(std::move(item)); }

uint32_t PlayerHandle::GetGuidAsInteger() const { return FindOrRaise()->GetGuidAsInteger(); }

void PlayerHandle::PushPlayer(const Vector3& push) const { FindOrRaise()->PushPlayer(push); }

}  // namespace Tav
