#pragma once
// What scripts see of the running server: the script class "Server" is bound
// to this interface, and the global "ServerInstance" refers to the server
// through it. Tav::Server implements it; the script methods of the server are
// declared here as they are bound.
//
// Each method tells the script what it did, so that a command answers only
// what happened: the box spawn whether there was a player to drop it above,
// the design methods a short text of their outcome, ready to print (for
// example "3 of 3 bricks placed beside the sender's player", or "No design
// placed: the sender has no player"). A script that ignores the results
// works as before.
#include <string>

namespace Tav {

class ServerCommandConnector;

class IScriptServer {
public:
    virtual ~IScriptServer() = default;

    // "SpawnPhysicsEntity": a physics box above the first player; false,
    // and nothing spawned, without a player.
    virtual bool SpawnPhysicsEntity() = 0;
    // "ImportTestLXFML": the design file "test.lxfml" at a fixed cell.
    virtual std::string ImportTestLXFML() = 0;
    // "ImportBase64LXFML": a design given as Base64 text, beside the player
    // of the connector's sender; remembered for that sender's undo.
    virtual std::string ImportBase64LXFML(ServerCommandConnector& connector, const std::string& text) = 0;
    // "UndoImportLXFML": takes the sender's last Base64 design out again.
    virtual std::string UndoImportLXFML(ServerCommandConnector& connector) = 0;
};

}  // namespace Tav
