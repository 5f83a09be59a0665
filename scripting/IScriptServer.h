#pragma once
// What scripts see of the running server: the script class "Server" is bound
// to this interface, and the global "ServerInstance" refers to the server
// through it. Tav::Server implements it; the script methods of the server are
// declared here as they are bound.
#include <string>

namespace Tav {

class ServerCommandConnector;

class IScriptServer {
public:
    virtual ~IScriptServer() = default;

    // "SpawnPhysicsEntity": a physics box above the first player.
    virtual void SpawnPhysicsEntity() = 0;
    // "ImportTestLXFML": the design file "test.lxfml" at a fixed cell.
    virtual void ImportTestLXFML() = 0;
    // "ImportBase64LXFML": a design given as Base64 text, beside the player
    // of the connector's sender; remembered for that sender's undo.
    virtual void ImportBase64LXFML(ServerCommandConnector& connector, const std::string& text) = 0;
    // "UndoImportLXFML": takes the sender's last Base64 design out again.
    virtual void UndoImportLXFML(ServerCommandConnector& connector) = 0;
};

}  // namespace Tav
