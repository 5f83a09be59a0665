#include "entities/BaseEntity.h"

#include <cstdio>

#include "core/Debug.h"

namespace Tav {

BaseEntity::BaseEntity(INetworkProperties* hostEndpoint, Net::Guid ownerGuid)
    : host(hostEndpoint), guid(ownerGuid) {}

BaseEntity::~BaseEntity() = default;

void BaseEntity::WriteAllocationID(Net::Connection*, Net::BitStream* allocationIdBitstream) const {
    GetTypeNameString().Serialize(allocationIdBitstream);
}

Net::ConstructionQuery BaseEntity::QueryConstruction(Net::Connection* destination, Net::ReplicaManager*) {
    return QueryConstruction_ServerConstruction(destination, HostIsServer());
}

bool BaseEntity::QueryRemoteConstruction(Net::Connection* source) {
    return QueryRemoteConstruction_ServerConstruction(source, HostIsServer());
}

Net::SerializationQuery BaseEntity::QuerySerialization(Net::Connection* destination) {
    return QuerySerialization_ServerSerializable(destination, HostIsServer());
}

Net::PopAction BaseEntity::QueryActionOnPopConnection(Net::Connection* droppedConnection) const {
    return QueryActionOnPopConnection_Server(droppedConnection);
}

void BaseEntity::SerializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* destination) {
    const MotionState state = CopyState(false);
    WriteConstruction(constructionBitstream, destination, state);
}

void BaseEntity::WriteConstruction(Net::BitStream* stream, Net::Connection*, const MotionState& state) {
    Net::String(std::string(GetTypeName()) + " SerializeConstruction").Serialize(stream);
    stream->Write(guid.g);
    state.Write(stream);
}

void BaseEntity::ReadConstruction(Net::BitStream* stream, MotionState& state) {
    Net::String marker;
    marker.Deserialize(stream);  // never compared with anything
    stream->Read(guid.g);
    state.Read(stream);
}

void BaseEntity::PrintAddedLine(const char* what) const {
    // Two GUID texts of up to 20 digits each and the fixed words fit easily.
    char line[160];
    const std::string own = guid.ToString();
    if (IsOwnGuid()) {
        std::snprintf(line, sizeof line, "Added local %s (with guid: %s) \n", what, own.c_str());
    } else {
        const std::string mine = host != nullptr ? host->GetMyGUID().ToString() : Net::UNASSIGNED_GUID.ToString();
        std::snprintf(line, sizeof line, "Added other %s (with guid: %s, our guid: %s) \n", what, own.c_str(),
                      mine.c_str());
    }
    DebugOutput(line);
}

bool BaseEntity::DeserializeConstruction(Net::BitStream* constructionBitstream, Net::Connection*) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ReadConstruction(constructionBitstream, GetSimulatedState());
        GetDisplayState() = GetSimulatedState();
    }
    PrintAddedLine("BaseEntity");
    return true;
}

void BaseEntity::SerializeDestruction(Net::BitStream* destructionBitstream, Net::Connection*) {
    Net::String(std::string(GetTypeName()) + " SerializeDestruction").Serialize(destructionBitstream);
}

bool BaseEntity::DeserializeDestruction(Net::BitStream*, Net::Connection*) { return true; }

void BaseEntity::DeallocReplica(Net::Connection*) { delete this; }

Net::SerializationResult BaseEntity::Serialize(Net::SerializeParameters* serializeParameters) {
    const MotionState state = CopyState(false);
    return WriteState(serializeParameters, state);
}

Net::SerializationResult BaseEntity::WriteState(Net::SerializeParameters* parameters, const MotionState& state) {
    parameters->reliability[0] = Net::UNRELIABLE_SEQUENCED;
    state.Write(&parameters->outputBitstream[0]);
    return Net::SERIALIZE_BROADCAST_IDENTICALLY;
}

void BaseEntity::ReadState(Net::DeserializeParameters* parameters, MotionState& state) {
    state.Read(&parameters->serializationBitstream[0]);
}

void BaseEntity::Deserialize(Net::DeserializeParameters* deserializeParameters) {
    std::lock_guard<std::mutex> lock(mutex);
    ReadState(deserializeParameters, GetSimulatedState());
}

Vector3& BaseEntity::GetPosition(bool display) {
    return display ? GetDisplayState().position : GetSimulatedState().position;
}

Vector3& BaseEntity::GetVelocity(bool display) {
    return display ? GetDisplayState().velocity : GetSimulatedState().velocity;
}

Quaternion& BaseEntity::GetRotation(bool display) {
    return display ? GetDisplayState().rotation : GetSimulatedState().rotation;
}

MotionState BaseEntity::CopyState(bool display) {
    std::lock_guard<std::mutex> lock(mutex);
    return display ? GetDisplayState() : GetSimulatedState();
}

double SmoothingFactor(double dt) {
    const double cap = 1.0 / 15.0;
    return (dt < cap ? dt : cap) * 15.0;
}

void BaseEntity::Smooth(MotionState& display, const MotionState& simulated, double dt) {
    const double f = SmoothingFactor(dt);
    display.position = display.position + (simulated.position - display.position) * f;
    display.velocity = display.velocity + (simulated.velocity - display.velocity) * f;
    const double scaled = 30.0 * dt;
    const double t = scaled < 1.0 ? scaled : 1.0;  // a NaN dt counts as a full step
    display.rotation = Quaternion::Slerp(Quaternion::Normalize(display.rotation),
                                         Quaternion::Normalize(simulated.rotation), t);
}

void BaseEntity::Update(double dt) { Smooth(GetDisplayState(), GetSimulatedState(), dt); }

}  // namespace Tav
