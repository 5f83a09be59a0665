#pragma once
// What scripts see of the running server: the script class "Server" is bound
// to this interface, and the global "ServerInstance" refers to the server
// through it. Tav::Server implements it; the script methods of the server are
// declared here as they are bound.

namespace Tav {

class IScriptServer {
public:
    virtual ~IScriptServer() = default;
};

}  // namespace Tav
