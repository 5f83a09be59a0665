#include "scripting/ConnectorHandle.h"

#include <utility>

#include "entities/ScriptError.h"

namespace Tav {

ServerCommandConnector& ConnectorHandle::Connector() const {
    if (!run_ || !*run_) throw ScriptError(kEndedMessage);
    return **run_;
}

std::string ConnectorHandle::GetCommand() const { return Connector().GetCommand(); }

std::string ConnectorHandle::GetGUID() const { return std::to_string(Connector().GetGUID().g); }

ServerCommand::SecurityLevel ConnectorHandle::GetSecurityLevel() const { return Connector().GetSecurityLevel(); }

void ConnectorHandle::Print(std::string text) const { Connector().Print(std::move(text)); }

ConnectorRun::ConnectorRun(ServerCommandConnector& connector)
    : run_(std::make_shared<ServerCommandConnector*>(&connector)) {}

ConnectorRun::~ConnectorRun() { *run_ = nullptr; }

}  // namespace Tav
