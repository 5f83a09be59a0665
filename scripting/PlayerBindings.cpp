// The script class "Player": exactly its three methods. Scripts get players
// from the registry's "Players" and as the argument of an item's "Update";
// they cannot construct one.
#include "entities/Item.h"
#include "entities/PlayerHandle.h"
#include "scripting/ScriptBindings.h"

namespace Tav::ScriptBindings {

luabind::scope RegisterPlayer() {
    using namespace luabind;
    return class_<PlayerHandle>("Player")
        .def("SetItem", &PlayerHandle::SetItem)
        .def("GetGuidAsInteger", &PlayerHandle::GetGuidAsInteger)
        .def("PushPlayer", &PlayerHandle::PushPlayer);
}

}  // namespace Tav::ScriptBindings
