// The script class "Server": the running server, reached through the global
// "ServerInstance". Scripts cannot construct one.
#include "scripting/IScriptServer.h"
#include "scripting/ScriptBindings.h"
#include "scripting/ServerCommand.h"

namespace Tav::ScriptBindings {

luabind::scope RegisterServer() {
    using namespace luabind;
    return class_<IScriptServer>("Server")
        .def("SpawnPhysicsEntity", &IScriptServer::SpawnPhysicsEntity)
        .def("ImportTestLXFML", &IScriptServer::ImportTestLXFML)
        .def("ImportBase64LXFML", &IScriptServer::ImportBase64LXFML)
        .def("UndoImportLXFML", &IScriptServer::UndoImportLXFML);
}

}  // namespace Tav::ScriptBindings
