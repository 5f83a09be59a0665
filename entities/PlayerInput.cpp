#include "entities/PlayerInput.h"

namespace Tav {

void PlayerInput::Serialize(Net::BitStream* out) const {
    out->Write(time);
    out->Write(move.x);
    out->Write(move.y);
    out->Write(move.z);
    out->Write(facing.x);
    out->Write(facing.y);
    out->Write(facing.z);
    out->WriteBit(jump);
    out->WriteBit(run);
    out->WriteBit(button0);
    out->WriteBit(button1);
    out->WriteBit(button2);
    out->WriteBit(button3);
}

void PlayerInput::Deserialize(Net::BitStream* in) {
    in->Read(time);
    in->Read(move.x);
    in->Read(move.y);
    in->Read(move.z);
    in->Read(facing.x);
    in->Read(facing.y);
    in->Read(facing.z);
    // A failed bit read leaves its flag unchanged.
    in->ReadBit(jump);
    in->ReadBit(run);
    in->ReadBit(button0);
    in->ReadBit(button1);
    in->ReadBit(button2);
    in->ReadBit(button3);
}

}  // namespace Tav
