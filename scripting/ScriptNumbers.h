#pragma once
// The int parameters and operands of the script interface. A script passes
// any Lua number; it is rounded to the nearest integer, halves to even, the
// way the script engine's own number-to-integer conversion rounds (Lua's
// lua_tointeger on this platform truncates instead, so luabind's plain int
// parameters would too), then wrapped to its low 32 bits, two's complement,
// as that conversion does: 2147483648 gives -2147483648, 4294967297 gives 1.
// A number whose rounded value has no 64-bit integer value (not a number,
// infinite, 2^63 or more, below -2^63) raises a script error rather than
// giving an undefined conversion.
#include <cstdint>

#include "entities/LuaBind.h"

namespace Tav {

struct ScriptInt {
    int32_t value;
    operator int32_t() const { return value; }
};

// The rounded value of number, wrapped to 32 bits; throws ScriptError when
// the rounded value lies outside [-2^63, 2^63).
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
