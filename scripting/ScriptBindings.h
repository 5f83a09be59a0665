#pragma once
// The script interface: each Register function returns the binding scope of
// one script class; ServerCommander::InitLua registers them as one module,
// in the order of this list.
#include "entities/LuaBind.h"
#include "math/Vector3.h"
#include "math/Vector3i.h"
#include "scripting/ScriptNumbers.h"

namespace Tav::ScriptBindings {

// "Vector3": three doubles, constructed and owned by scripts.
luabind::scope RegisterVector3();
// "Vector3i": three signed 32-bit integers, constructed and owned by scripts.
luabind::scope RegisterVector3i();
// "Server": the running server, through Tav::IScriptServer.
luabind::scope RegisterServer();
// "Player": a connected player, through Tav::PlayerHandle.
luabind::scope RegisterPlayer();
// "Item": Tav::Item with its wrapper Tav::ItemWrapper; scripts derive from it.
luabind::scope RegisterItem();
// "EntityManagerClass": the entity registry, with the property "Players".
luabind::scope RegisterEntityManager();
// "ServerCommand": a command declaration, constructed by scripts.
luabind::scope RegisterServerCommand();
// "ServerCommandConnector": the context of a command run, through
// Tav::ConnectorHandle.
luabind::scope RegisterServerCommandConnector();
// "ServerCommander": the command registry and script host.
luabind::scope RegisterServerCommander();

// The operators of "Vector3" and "Vector3i": each takes the left operand by
// reference and the right one by value and pushes its result, a new object
// (a boolean for the comparisons). Arithmetic is component by component;
// Vector3i's wraps modulo 2^32 and its quotients truncate toward zero. A
// Vector3i quotient without a result (a zero divisor, -2147483648 / -1)
// raises a script error.
void Vector3AddVector3(lua_State* L, const Vector3& a, Vector3 b);
void Vector3AddNumber(lua_State* L, const Vector3& a, double s);
void Vector3SubVector3(lua_State* L, const Vector3& a, Vector3 b);
void Vector3SubNumber(lua_State* L, const Vector3& a, double s);
void Vector3MulVector3(lua_State* L, const Vector3& a, Vector3 b);
void Vector3MulNumber(lua_State* L, const Vector3& a, double s);
void Vector3DivVector3(lua_State* L, const Vector3& a, Vector3 b);
void Vector3DivNumber(lua_State* L, const Vector3& a, double s);
void Vector3Equal(lua_State* L, const Vector3& a, Vector3 b);
void Vector3iAddVector3i(lua_State* L, const Vector3i& a, Vector3i b);
void Vector3iAddInt(lua_State* L, const Vector3i& a, ScriptInt n);
void Vector3iSubVector3i(lua_State* L, const Vector3i& a, Vector3i b);
void Vector3iSubInt(lua_State* L, const Vector3i& a, ScriptInt n);
void Vector3iMulVector3i(lua_State* L, const Vector3i& a, Vector3i b);
void Vector3iMulInt(lua_State* L, const Vector3i& a, ScriptInt n);
void Vector3iDivVector3i(lua_State* L, const Vector3i& a, Vector3i b);
void Vector3iDivInt(lua_State* L, const Vector3i& a, ScriptInt n);
void Vector3iEqual(lua_State* L, const Vector3i& a, Vector3i b);

}  // namespace Tav::ScriptBindings
