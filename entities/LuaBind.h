#pragma once
// The one place that includes Lua and luabind. Their headers do not build
// cleanly with the project's warnings, so they are wrapped here; every file
// of the project that needs either includes this header instead. It lives
// with the items that players hold, the lowest layer that uses the binding.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#pragma GCC diagnostic ignored "-Wunused-parameter"

#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <luabind/exception_handler.hpp>
#include <luabind/luabind.hpp>
#include <luabind/operator.hpp>

#pragma GCC diagnostic pop
