// The script class "EntityManagerClass": the entity registry, reached through
// the global "EntityManager". Its one property, "Players", reads as an
// iterator function over the players registered at the moment of the read:
//   for player in EntityManager.Players do ... end
// Scripts cannot construct the class, and "Players" cannot be assigned.
#include <new>
#include <vector>

#include "entities/EntityManager.h"
#include "entities/Player.h"
#include "entities/PlayerHandle.h"
#include "scripting/ScriptBindings.h"

namespace Tav::ScriptBindings {

namespace {

// The state of one iterator: its copy of the list and the next place in it.
struct PlayerWalk {
    std::vector<PlayerHandle> players;
    size_t next = 0;
};

// Each call gives the next player as a new "Player" object, then nil for
// good. The arguments of the generic for are ignored.
int NextPlayer(lua_State* L) {
    auto* walk = static_cast<PlayerWalk*>(lua_touserdata(L, lua_upvalueindex(1)));
    if (walk->next >= walk->players.size()) {
        lua_pushnil(L);
        return 1;
    }
    luabind::detail::convert_to_lua(L, walk->players[walk->next++]);
    return 1;
}

int ForgetWalk(lua_State* L) {
    static_cast<PlayerWalk*>(lua_touserdata(L, 1))->~PlayerWalk();
    return 0;
}

// The copy is taken under the registry's mutex, which is released before any
// script code runs (scripts call members that take it). It holds handles,
// not the players, so a player may leave while a walk still lists it.
luabind::object Players(lua_State* L, EntityManager& manager) {
    // The walk is made empty and given its finaliser before it is filled, so
    // that a failing allocation of the state leaves nothing behind.
    auto* walk = new (lua_newuserdata(L, sizeof(PlayerWalk))) PlayerWalk;
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, ForgetWalk);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
    manager.ForEachPlayerLocked([walk](const std::vector<Player*>& players) {
        walk->players.reserve(players.size());
        for (const Player* player : players) walk->players.emplace_back(*player);
    });
    lua_pushcclosure(L, NextPlayer, 1);
    luabind::object iterator(luabind::from_stack(L, -1));
    lua_pop(L, 1);
    return iterator;
}

}  // namespace

luabind::scope RegisterEntityManager() {
    using namespace luabind;
    return class_<EntityManager>("EntityManagerClass").property("Players", &Players);
}

}  // namespace Tav::ScriptBindings
