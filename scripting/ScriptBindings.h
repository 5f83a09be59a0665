#pragma once
// The script interface: each function returns the binding scope of one
// script class. ServerCommander::InitLua registers them as one module.
#include "scripting/LuaBind.h"

namespace Tav::ScriptBindings {

// "Server": the running server, through Tav::IScriptServer.
luabind::scope RegisterServer();
// "EntityManagerClass": the entity registry.
luabind::scope RegisterEntityManager();
// "ServerCommand": a command declaration, constructed by scripts.
luabind::scope RegisterServerCommand();
// "ServerCommandConnector": the context of a command run.
luabind::scope RegisterServerCommandConnector();
// "ServerCommander": the command registry and script host.
luabind::scope RegisterServerCommander();

}  // namespace Tav::ScriptBindings
