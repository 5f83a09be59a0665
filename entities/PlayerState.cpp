#include "entities/PlayerState.h"

namespace Tav {

void PlayerState::WriteTail(Net::BitStream* out) const {
    out->Write(facing.x);
    out->Write(facing.y);
    out->Write(facing.z);
    out->WriteBit(onGround);
    out->WriteBit(running);
}

void PlayerState::ReadTail(Net::BitStream* in) {
    in->Read(facing.x);
    in->Read(facing.y);
    in->Read(facing.z);
    in->ReadBit(onGround);
    in->ReadBit(running);
}

}  // namespace Tav
