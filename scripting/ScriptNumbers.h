#pragma once
// The int parameters and operands of the script interface. A script passes
// any Lua number; it is rounded to the nearest integer, halves to even, the
// way the script engine's own number-to-integer conversion rounds (Lua's
// lua_tointeger on this platform truncates instead, so luabind's plain int
// parameters would too). A number without a 32-bit value after rounding
// (out of range, infinite, not a number) raises a script error rather than
// giving an undefined conversion.
#include <cstdint>

#include "entities/LuaBind.h"

namespace Tav {

struct ScriptInt {
    int32_t value;
    operator int32_t() const { return value; }
};

// The rounded value of number; throws ScriptError when it has none.
ScriptInt ToScriptInt(double number);

}  // namespace Tav

namespace luabind {

template <>
struct default_converter<Tav::ScriptInt> : native_converter_base<Tav::ScriptInt> {
    static int compute_score(lua_State* L, int index) { return lua_type(L, index) == LUA_TNUMBER ? 0 : -1; }
    Tav::ScriptInt from(lua_State* L, int index) { return Tav::ToScriptInt(lua_tonumber(L, index)); }
    void to(lua_State* L, Tav::ScriptInt v) { lua_pushinteger(L, v.value); }
};

template <>
struct default_converter<Tav::ScriptInt const&> : default_converter<Tav::ScriptInt> {};

}  // namespace luabind
