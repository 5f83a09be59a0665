# Finds luabind (Debian: libluabind-dev, built for Lua 5.2) and defines the
# imported target Luabind::Luabind: its include folder, its library, and
# what its headers need (Lua 5.2 and the Boost headers).
#
# Expects the targets PkgConfig::LUA52 and Boost::boost to exist already.

find_path(Luabind_INCLUDE_DIR NAMES luabind/luabind.hpp)
find_library(Luabind_LIBRARY NAMES luabind)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Luabind
  REQUIRED_VARS Luabind_LIBRARY Luabind_INCLUDE_DIR
  REASON_FAILURE_MESSAGE "install the Debian package libluabind-dev (bash scripts/install-deps.sh does)")
mark_as_advanced(Luabind_INCLUDE_DIR Luabind_LIBRARY)

if(Luabind_FOUND AND NOT TARGET Luabind::Luabind)
  add_library(Luabind::Luabind UNKNOWN IMPORTED)
  set_target_properties(Luabind::Luabind PROPERTIES
    IMPORTED_LOCATION "${Luabind_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Luabind_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "PkgConfig::LUA52;Boost::boost")
endif()
