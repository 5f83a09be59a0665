// The script class "Server": the running server, reached through the global
// "ServerInstance". Scripts cannot construct one.
#include <string>

#include "scripting/ConnectorHandle.h"
#include "scripting/IScriptServer.h"
#include "scripting/ScriptBindings.h"
#include "scripting/ServerCommand.h"

namespace Tav::ScriptBindings {

namespace {

// The methods that act for a command's sender get the run's own connector,
// through the script's handle (which refuses once its command has ended).
std::string ImportBase64LXFML(IScriptServer& server, const ConnectorHandle& connector, const std::string& text) {
    return server.ImportBase64LXFML(connector.Connector(), text);
}

std::string UndoImportLXFML(IScriptServer& server, const ConnectorHandle& connector) {
    return server.UndoImportLXFML(connector.Connector());
}

}  // namespace

luabind::scope RegisterServer() {
    using namespace luabind;
    return class_<IScriptServer>("Server")
        .def("SpawnPhysicsEntity", &IScriptServer::SpawnPhysicsEntity)
        .def("ImportTestLXFML", &IScriptServer::ImportTestLXFML)
        .def("ImportBase64LXFML", &ImportBase64LXFML)
        .def("UndoImportLXFML", &UndoImportLXFML);
}

}  // namespace Tav::ScriptBindings
