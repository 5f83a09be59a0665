// The script classes "ServerCommand", "ServerCommandConnector" and
// "ServerCommander".
#include <string>

#include "scripting/ScriptBindings.h"
#include "scripting/ServerCommand.h"
#include "scripting/ServerCommander.h"

namespace Tav::ScriptBindings {

namespace {

// A Lua number cannot hold every 64-bit value exactly, so scripts get the
// sender's GUID as its decimal text.
std::string ConnectorGuidText(const ServerCommandConnector& connector) {
    return std::to_string(connector.GetGUID().g);
}

}  // namespace

luabind::scope RegisterServerCommand() {
    using namespace luabind;
    return class_<ServerCommand>("ServerCommand")
        .enum_("SecurityLevel")[value("SecurityLevel0", ServerCommand::SecurityLevel0),
                                value("SecurityLevel1", ServerCommand::SecurityLevel1),
                                value("SecurityLevel2", ServerCommand::SecurityLevel2)]
        .def(constructor<std::string, std::string, int, ServerCommand::SecurityLevel>())
        .def("GetName", &ServerCommand::GetName)
        .def("GetDescription", &ServerCommand::GetDescription)
        .def("GetNumParams", &ServerCommand::GetNumParams)
        .def("GetSecurityLevel", &ServerCommand::GetSecurityLevel);
}

luabind::scope RegisterServerCommandConnector() {
    using namespace luabind;
    return class_<ServerCommandConnector>("ServerCommandConnector")
        .def("GetCommand", &ServerCommandConnector::GetCommand)
        .def("GetGUID", &ConnectorGuidText)
        .def("GetSecurityLevel", &ServerCommandConnector::GetSecurityLevel)
        .def("Print", &ServerCommandConnector::Print);
}

luabind::scope RegisterServerCommander() {
    using namespace luabind;
    return class_<ServerCommander>("ServerCommander")
        .def("WriteConsoleMessageLine", &ServerCommander::WriteConsoleMessageLine)
        .def("ClearLuaCommands", &ServerCommander::ClearLuaCommands)
        .def("AddServerCommand", &ServerCommander::AddServerCommand)
        .def("ListServerCommands", &ServerCommander::ListServerCommands)
        .def("ReloadLuaScripts", &ServerCommander::ReloadLuaScripts)
        .def("AddAlias", &ServerCommander::AddAlias)
        .def("ClearAllAliases", &ServerCommander::ClearAllAliases)
        .def("RemoveAlias", &ServerCommander::RemoveAlias);
}

}  // namespace Tav::ScriptBindings
