#pragma once
// The unit that player moves travel between: a motion state, the facing and
// the flags on-ground and running.
//
// Tail form (after the motion state in the player's construction and
// serialisation): three big-endian doubles facing x, y, z, then one bit
// onGround and one bit running.
#include "entities/MotionState.h"
#include "entities/PlayerInput.h"

namespace Tav {

struct PlayerState {
    MotionState motion;
    Vector3 facing{0.0, 0.0, 0.0};
    bool onGround = false;
    bool running = false;

    // What reconciliation compares: the motion states and both flags (the
    // facing is not compared).
    bool SameMotion(const PlayerState& other) const {
        return motion == other.motion && onGround == other.onGround && running == other.running;
    }

    void WriteTail(Net::BitStream* out) const;
    // The three doubles, then each flag only while a bit remains.
    void ReadTail(Net::BitStream* in);
};

// One recorded move of the receiver's own player.
struct MoveRecord {
    PlayerInput input;
    PlayerState state;
};

}  // namespace Tav
