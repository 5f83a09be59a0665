#include "entities/Item.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "entities/LuaStack.h"
#include "entities/PlayerHandle.h"
#include "entities/ScriptError.h"

namespace Tav {

namespace {

void WriteLine(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Wrappers waiting for the Lua lock. Never destroyed: what it holds belongs
// to Lua states, which are gone by the time static objects are destroyed.
struct DeferredItems {
    std::mutex mutex;  // a leaf lock
    std::vector<std::unique_ptr<ItemWrapper>> items;
};

DeferredItems& Deferred() {
    static auto* deferred = new DeferredItems;
    return *deferred;
}

lua_State* StateOf(const ItemWrapper& item) { return luabind::detail::wrap_access::ref(item).state(); }

}  // namespace

void Item::Update(double, const Player*) { WriteLine("Base update, should not run!"); }

void Item::TestNative() { WriteLine("Test Native!"); }

void ItemWrapper::Update(double dt, const Player* player) {
    if (player) {
        const PlayerHandle handle(*player);
        CallScript("Update", true, dt, &handle);
    } else {
        CallScript("Update", true, dt, nullptr);
    }
}

void ItemWrapper::TestNative() { CallScript("TestNative", false, 0.0, nullptr); }

bool ItemWrapper::CallUpdate(double dt, const PlayerHandle* player) const {
    return CallScript("Update", true, dt, player);
}

void ItemWrapper::default_Update(Item* self, double dt, const Player* player) { self->Item::Update(dt, player); }

void ItemWrapper::default_TestNative(Item* self) { self->Item::TestNative(); }

bool ItemWrapper::CallScript(const char* name, bool withArguments, double dt, const PlayerHandle* player) const {
    const luabind::weak_ref& self = luabind::detail::wrap_access::ref(*this);
    lua_State* L = self.state();
    LuaStackGuard guard(L);
    self.get(L);
    if (lua_isnil(L, -1)) return false;  // collected
    // The script class's own function of that name or, when the class has
    // none, the default that the binding registered for it.
    luabind::detail::do_call_member_selection(L, name);
    if (lua_isnil(L, -1)) throw ScriptError("Attempt to call nonexistent function");
    self.get(L);
    int arguments = 1;
    if (withArguments) {
        lua_pushnumber(L, dt);
        if (player)
            luabind::detail::convert_to_lua(L, *player);  // a new "Player" object holding a copy
        else
            lua_pushnil(L);
        arguments = 3;
    }
    if (lua_pcall(L, arguments, 0, 0) != LUA_OK) throw ScriptError(LuaErrorText(L, -1));
    return true;
}

void DeferItemRelease(std::unique_ptr<ItemWrapper> item) {
    if (!item) return;
    DeferredItems& deferred = Deferred();
    std::lock_guard<std::mutex> lock(deferred.mutex);
    deferred.items.push_back(std::move(item));
}

void ReleaseDeferredItems(lua_State* state) {
    std::vector<std::unique_ptr<ItemWrapper>> released;
    {
        DeferredItems& deferred = Deferred();
        std::lock_guard<std::mutex> lock(deferred.mutex);
        auto& items = deferred.items;
        auto others = std::stable_partition(items.begin(), items.end(),
                                            [state](const auto& item) { return StateOf(*item) == state; });
        released.assign(std::make_move_iterator(items.begin()), std::make_move_iterator(others));
        items.erase(items.begin(), others);
    }
    // Destroyed here, under the caller's Lua lock, not under the leaf lock.
}

}  // namespace Tav
