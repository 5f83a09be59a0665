// The script class "Item", bound to Tav::Item with the wrapper
// Tav::ItemWrapper: Item() makes an item owned by the script, and script
// classes derive from it and define their own "Update" and "TestNative".
#include "entities/Item.h"
#include "entities/PlayerHandle.h"
#include "scripting/ScriptBindings.h"

namespace Tav::ScriptBindings {

namespace {

// item:Update(dt, player) when the item's class defines no "Update": an
// item made by a script goes to its script object, whose missing function
// selects the default below; the player arrives as the script's handle.
void Update(Item& item, double dt, const PlayerHandle* player) {
    if (auto* wrapper = dynamic_cast<ItemWrapper*>(&item))
        wrapper->CallUpdate(dt, player);
    else
        item.Update(dt, nullptr);
}

void DefaultUpdate(Item& item, double dt, const PlayerHandle*) { ItemWrapper::default_Update(&item, dt, nullptr); }

}  // namespace

luabind::scope RegisterItem() {
    using namespace luabind;
    return class_<Item, ItemWrapper>("Item")
        .def(constructor<>())
        .def("TestNative", &Item::TestNative, &ItemWrapper::default_TestNative)
        .def("Update", &Update, &DefaultUpdate);
}

}  // namespace Tav::ScriptBindings
