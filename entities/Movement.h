#pragma once
// Geometry of the player's body and its conversion to a box of cells.
#include "math/Vector3.h"
#include "math/Vector3i.h"

namespace Tav {

namespace Movement {
// Single-precision constants widened to double, as the movement uses them.
inline const double kCellX = static_cast<double>(0.8f);
inline const double kCellY = static_cast<double>(0.96f);
inline const double kCellZ = static_cast<double>(0.8f);
inline const double kBodyHalfWidth = static_cast<double>(0.92f);
inline const double kBodyHeight = static_cast<double>(3.84f) - static_cast<double>(0.96f);
inline const double kMoveThreshold = 0.1;
inline const double kWalkSpeed = static_cast<double>(0.1f);
inline const double kJumpSpeed = static_cast<double>(0.96f * 0.16f);
inline const double kTimeScale = 2.5;
inline const double kDisplacementScale = 100.0;
inline const double kStepUp = static_cast<double>(3.36f);
inline const double kFriction = 0.75;
inline const double kStopSpeed = 0.001;
inline const double kGravity = static_cast<double>(0.96f * 0.75f);
}  // namespace Movement

// The inclusive cell box covered by the body of a player standing at
// position (the centre of its feet): floor of the low corner and ceil of the
// high corner, cell by cell, so a top lying on a row boundary also covers
// the row above it.
void GetBlockRangeOfBox(const Vector3& position, Vector3i& min, Vector3i& max);

}  // namespace Tav
