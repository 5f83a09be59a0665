#include "entities/MotionState.h"

namespace Tav {

bool MotionState::operator==(const MotionState& other) const {
    return position.x == other.position.x && position.y == other.position.y &&
           position.z == other.position.z && velocity.x == other.velocity.x &&
           velocity.y == other.velocity.y && velocity.z == other.velocity.z &&
           rotation == other.rotation;
}

void MotionState::Write(Net::BitStream* out) const {
    out->Write(position.x);
    out->Write(position.y);
    out->Write(position.z);
    out->Write(velocity.x);
    out->Write(velocity.y);
    out->Write(velocity.z);
    out->Write(rotation.x);
    out->Write(rotation.y);
    out->Write(rotation.z);
    out->Write(rotation.w);
}

void MotionState::Read(Net::BitStream* in) {
    in->Read(position.x);
    in->Read(position.y);
    in->Read(position.z);
    in->Read(velocity.x);
    in->Read(velocity.y);
    in->Read(velocity.z);
    in->Read(rotation.x);
    in->Read(rotation.y);
    in->Read(rotation.z);
    in->Read(rotation.w);
}

}  // namespace Tav
