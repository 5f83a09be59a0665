#pragma once
// How scripts hold the connector of a command run: every object of the
// script class "ServerCommandConnector" is a handle of the run, not the
// dispatcher's connector itself, and the run ends its handles when it
// returns. Within its command a handle does exactly what the connector does;
// a handle that a script keeps after its command (in a global, in an item,
// in a closure) raises a script error on every method, and every method that
// is given one refuses it the same way, so it never reaches the connector,
// which is gone by then, nor another command's output or sender.
//
// Locking: handles are made, used and let go of by scripts, so under the Lua
// lock, and a run ends under it too (the dispatcher holds it for the whole
// command): whether a handle is valid never changes while a script runs.
#include <memory>
#include <string>

#include "scripting/ServerCommand.h"

namespace Tav {

class ConnectorRun;

class ConnectorHandle {
public:
    // The run's connector; raises ScriptError with kEndedMessage once the run
    // has ended.
    ServerCommandConnector& Connector() const;

    // The script methods, those of the connector; "GetGUID" gives the
    // sender's GUID as its decimal text (a Lua number cannot hold every
    // 64-bit value).
    std::string GetCommand() const;
    std::string GetGUID() const;
    ServerCommand::SecurityLevel GetSecurityLevel() const;
    void Print(std::string text) const;

    static constexpr const char* kEndedMessage =
        "The command of this connector has ended: a connector can be used only while its command runs.";

private:
    friend class ConnectorRun;
    // What a run shares with its handles: its connector, null once it ended.
    using Shared = std::shared_ptr<ServerCommandConnector*>;
    explicit ConnectorHandle(Shared run) : run_(std::move(run)) {}
    Shared run_;
};

// One command run as scripts see it: it hands out handles of its connector
// while it lives and ends them all when it is destroyed. Lua lock held.
class ConnectorRun {
public:
    explicit ConnectorRun(ServerCommandConnector& connector);
    ~ConnectorRun();
    ConnectorRun(const ConnectorRun&) = delete;
    ConnectorRun& operator=(const ConnectorRun&) = delete;

    ConnectorHandle Handle() const { return ConnectorHandle(run_); }

private:
    ConnectorHandle::Shared run_;
};

}  // namespace Tav
