#pragma once
// Small helpers for code that calls into a Lua state directly.
#include <string>

#include "entities/LuaBind.h"

namespace Tav {

// Restores the Lua stack to the height it had when the guard was made, so
// that no entry leaves values behind (error values, a chunk's results).
class LuaStackGuard {
public:
    explicit LuaStackGuard(lua_State* L) : L_(L), top_(lua_gettop(L)) {}
    ~LuaStackGuard() { lua_settop(L_, top_); }
    LuaStackGuard(const LuaStackGuard&) = delete;
    LuaStackGuard& operator=(const LuaStackGuard&) = delete;

private:
    lua_State* L_;
    int top_;
};

// The text of an error value: strings and numbers as they are, anything else
// by its type, as the stand-alone interpreter reports it.
inline std::string LuaErrorText(lua_State* L, int index)
{
    const int type = lua_type(L, index);
    if (type == LUA_TSTRING || type == LUA_TNUMBER) {
        size_t length = 0;
        const char* text = lua_tolstring(L, index, &length);
        return std::string(text, length);
    }
    return std::string("(error object is a ") + luaL_typename(L, index) + " value)";
}

}  // namespace Tav
