// The script classes "ServerCommand", "ServerCommandConnector" and
// "ServerCommander".
#include "scripting/ConnectorHandle.h"
#include "scripting/ScriptBindings.h"
#include "scripting/ServerCommand.h"
#include "scripting/ServerCommander.h"

namespace Tav::ScriptBindings {

namespace {

// The commander's methods that take a connector get the run's own, through
// the script's handle (which refuses once its command has ended).
void ListServerCommands(const ServerCommander& commander, const ConnectorHandle& connector) {
    commander.ListServerCommands(connector.Connector());
}

void ReloadLuaScripts(ServerCommander& commander, const ConnectorHandle& connector) {
    commander.ReloadLuaScripts(connector.Connector());
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
    return class_<ConnectorHandle>("ServerCommandConnector")
        .def("GetCommand", &ConnectorHandle::GetCommand)
        .def("GetGUID", &ConnectorHandle::GetGUID)
        .def("GetSecurityLevel", &ConnectorHandle::GetSecurityLevel)
        .def("Print", &ConnectorHandle::Print);
}

luabind::scope RegisterServerCommander() {
    using namespace luabind;
    return class_<ServerCommander>("ServerCommander")
        .def("WriteConsoleMessageLine", &ServerCommander::WriteConsoleMessageLine)
        .def("ClearLuaCommands", &ServerCommander::ClearLuaCommands)
        .def("AddServerCommand", &ServerCommander::AddServerCommand)
        .def("ListServerCommands", &ListServerCommands)
        .def("ReloadLuaScripts", &ReloadLuaScripts)
        .def("AddAlias", &ServerCommander::AddAlias)
        .def("ClearAllAliases", &ServerCommander::ClearAllAliases)
        .def("RemoveAlias", &ServerCommander::RemoveAlias);
}

}  // namespace Tav::ScriptBindings
