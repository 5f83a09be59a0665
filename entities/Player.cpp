#include "entities/Player.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "entities/EntityManager.h"
#include "entities/Item.h"
#include "entities/Movement.h"
#include "world/IBoxOccupancy.h"

namespace Tav {

std::atomic<IBoxOccupancy*> Player::occupancy_{nullptr};

namespace {

// Cell coordinates stay far inside 32 bits whatever a client makes of its
// position (its input is not trusted).
constexpr double kCellLimit = 1073741824.0;  // 2^30

// A way longer than this many half-cell steps, or whose swept box holds more
// cells than this, is not followed step by step (see PassesThroughCell).
constexpr double kMaxSweepSteps = 1024.0;
constexpr int64_t kMaxSweptCells = 65536;

bool IsFinite(const Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// The move vector of an input, cut to length 1. Its length may overflow even
// when its components are finite: the largest component is scaled to 1 first.
Vector3 CapMove(const Vector3& move) {
    if (move.Length() <= 1.0) return move;
    const double largest = std::max({std::fabs(move.x), std::fabs(move.y), std::fabs(move.z)});
    const Vector3 scaled = move / largest;
    return scaled / scaled.Length();
}

int32_t ToCell(double v) {
    if (std::isnan(v)) return -static_cast<int32_t>(kCellLimit);
    if (v < -kCellLimit) return -static_cast<int32_t>(kCellLimit);
    if (v > kCellLimit) return static_cast<int32_t>(kCellLimit);
    return static_cast<int32_t>(v);
}

}  // namespace

void GetBlockRangeOfBox(const Vector3& p, Vector3i& min, Vector3i& max) {
    using namespace Movement;
    const Vector3 lo = p + Vector3(-kBodyHalfWidth, 0.0, -kBodyHalfWidth);
    const Vector3 hi = p + Vector3(kBodyHalfWidth, kBodyHeight, kBodyHalfWidth);
    min = Vector3i(ToCell(std::floor(lo.x / kCellX)), ToCell(std::floor(lo.y / kCellY)),
                   ToCell(std::floor(lo.z / kCellZ)));
    max = Vector3i(ToCell(std::ceil(hi.x / kCellX)), ToCell(std::ceil(hi.y / kCellY)),
                   ToCell(std::ceil(hi.z / kCellZ)));
    // A position that is not a number gives a box below the world floor, which
    // counts as occupied: such a move is always refused.
    if (std::isnan(lo.x + lo.y + lo.z + hi.x + hi.y + hi.z)) {
        min.y = -static_cast<int32_t>(kCellLimit);
        max.y = -static_cast<int32_t>(kCellLimit);
    }
}

Player::Player(INetworkProperties* hostEndpoint) : BaseEntity(hostEndpoint) {}

Player::Player(Net::Guid ownerGuid, INetworkProperties* hostEndpoint, const Vector3& position)
    : BaseEntity(hostEndpoint, ownerGuid) {
    simulatedState.motion.position = position;
    simulatedState.onGround = false;
    g_entityManager.AddPlayer(this);
}

Player::~Player() {
    // Leaves the registry if still there and waits until no PlayerRef pins
    // the player; only then are its members released.
    g_entityManager.ForgetPlayer(this);
    // The held item's link to its script object is released where the Lua
    // lock is held, by the script host's next entry into the state.
    DeferItemRelease(std::move(heldItem));
}

void Player::SetOccupancy(IBoxOccupancy* occupancy) { occupancy_ = occupancy; }

IBoxOccupancy* Player::GetOccupancy() { return occupancy_.load(); }

bool Player::IsBoxOccupied(const Vector3i& min, const Vector3i& max) const {
    if (min.y < 0) return true;
    IBoxOccupancy* occupancy = occupancy_.load();
    return occupancy != nullptr && occupancy->IsBoxOccupied(min, max);
}

// --- replication ---

void Player::SerializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* destination) {
    std::lock_guard<std::mutex> lock(mutex);
    WriteConstruction(constructionBitstream, destination, simulatedState.motion);
    simulatedState.WriteTail(constructionBitstream);
    // The next serialisation carries the whole inventory to the new peer.
    inventory.changed = true;
}

bool Player::DeserializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* source) {
    BaseEntity::DeserializeConstruction(constructionBitstream, source);
    {
        std::lock_guard<std::mutex> lock(mutex);
        simulatedState.ReadTail(constructionBitstream);
        historyWrite = 0;
        historyRead = 0;
        history.resize(kHistorySize);
        isLocal = isLocal || IsOwnGuid();
        lastInput.time = 0.0;
    }
    PrintAddedLine("Player");
    g_entityManager.AddPlayer(this);
    return true;
}

void Player::DeallocReplica(Net::Connection*) { g_entityManager.DeletePlayer(this); }

Net::SerializationResult Player::Serialize(Net::SerializeParameters* serializeParameters) {
    std::lock_guard<std::mutex> lock(mutex);
    WriteState(serializeParameters, simulatedState.motion);
    Net::BitStream* out = &serializeParameters->outputBitstream[0];
    simulatedState.WriteTail(out);
    lastInput.Serialize(out);
    const bool wholeInventory = inventory.changed;
    inventory.Serialize(out);
    // New counts travel in this one serialisation only (the next ones carry
    // the bit 0 until they change again), so it must not be lost: it goes
    // reliably, in order with the unreliable ones of the same channel, which
    // the receiver's sequence numbers keep from overtaking it. A whole
    // inventory that only a construction asked for goes as usual: the
    // connection that needs it gets its first serialisation reliably anyway,
    // and the others have these counts already (else every connect would
    // make every player's updates reliable for every client).
    if (wholeInventory && inventoryEdited) serializeParameters->reliability[0] = Net::RELIABLE_ORDERED;
    inventoryEdited = false;
    return Net::SERIALIZE_BROADCAST_IDENTICALLY;
}

void Player::Deserialize(Net::DeserializeParameters* deserializeParameters) {
    std::lock_guard<std::mutex> lock(mutex);
    PlayerState state;
    PlayerInput input;
    ReadState(deserializeParameters, state.motion);
    Net::BitStream* in = &deserializeParameters->serializationBitstream[0];
    state.ReadTail(in);
    input.Deserialize(in);
    inventory.Deserialize(in);
    if (isLocal) {
        Reconcile(input, state);
    } else {
        lastInput = input;
        simulatedState = state;
    }
}

void Player::Reconcile(const PlayerInput& acknowledged, const PlayerState& serverState) {
    const int32_t size = static_cast<int32_t>(history.size());
    if (size == 0 || historyRead < 0 || historyRead >= size || historyWrite < 0 || historyWrite >= size) return;
    auto advance = [size](int32_t i) { return i + 1 == size ? 0 : i + 1; };
    while (historyRead != historyWrite && history[historyRead].input.time < acknowledged.time)
        historyRead = advance(historyRead);
    if (historyRead == historyWrite) return;
    if (history[historyRead].state.SameMotion(serverState)) return;
    historyRead = advance(historyRead);
    const PlayerInput kept = lastInput;
    lastInput = acknowledged;
    simulatedState = serverState;
    for (int32_t i = historyRead; i != historyWrite; i = advance(i)) {
        MoveRecord& record = history[i];
        Move(record.input, record.input.time - lastInput.time);
        lastInput = record.input;
        record.state = simulatedState;
    }
    lastInput = kept;
}

void Player::Update(double dt) {
    Smooth(displayState.motion, simulatedState.motion, dt);
    const double f = SmoothingFactor(dt);
    displayState.facing = displayState.facing + (simulatedState.facing - displayState.facing) * f;
}

// --- input and movement ---

void Player::ApplyInput(const PlayerInput& input) {
    // What a client sends is not trusted: an input with any number that is
    // not finite is dropped whole (it would make the player's state, and so
    // every peer's copy of it, infinite for good).
    if (!std::isfinite(input.time) || !IsFinite(input.move) || !IsFinite(input.facing)) return;
    PlayerInput applied = input;
    applied.move = CapMove(input.move);
    std::lock_guard<std::mutex> lock(mutex);
    double dt = applied.time - lastInput.time;
    if (dt > 1.0) dt = 1.0;
    if (dt > 0.0) {
        Move(applied, dt);
    } else {
        // A time that does not advance moves nothing (a negative step would
        // turn gravity upward, and even a zero one moves by the push): the
        // input's controls are taken, and the sweep waits for the next input.
        ApplyControls(applied);
    }
    lastInput = applied;
}

void Player::ApplyControls(const PlayerInput& input) {
    using namespace Movement;
    simulatedState.running = input.run;
    simulatedState.facing = input.facing;
    Vector3& velocity = simulatedState.motion.velocity;
    if (input.move.Length() > kMoveThreshold) {
        const Vector3& facing = simulatedState.facing;
        Vector3 fwd(facing.x, 0.0, facing.z);
        fwd.NormalizeInPlace();
        const Vector3 right = facing.Normalize().Cross(Vector3(0.0, 1.0, 0.0)).Normalize();
        const double m = simulatedState.running ? 2.0 : 1.0;
        velocity.x = (-input.move.x * fwd.x - input.move.y * right.x) * kWalkSpeed * m;
        velocity.z = (-input.move.x * fwd.z - input.move.y * right.z) * kWalkSpeed * m;
    }
    if (input.jump && simulatedState.onGround) {
        simulatedState.onGround = false;
        velocity.y = kJumpSpeed;
    }
}

void Player::Move(const PlayerInput& input, double dt) {
    using namespace Movement;
    const double t = kTimeScale * dt;
    ApplyControls(input);
    if (t < 1.0) SweepCollision(t);
}

void Player::SweepCollision(double t) {
    using namespace Movement;
    Vector3& p = simulatedState.motion.position;
    Vector3& v = simulatedState.motion.velocity;
    bool& onGround = simulatedState.onGround;

    const Vector3 d = v * kDisplacementScale * t;
    const Vector3 dx = Vector3(d.x, 0.0, 0.0) + push;
    const Vector3 dz = Vector3(0.0, 0.0, d.z) + push;
    const Vector3 dy = Vector3(0.0, d.y, 0.0) + push;

    // All three boxes come from the position at the start of the sweep.
    Vector3i bxMin, bxMax, bzMin, bzMax, byMin, byMax;
    GetBlockRangeOfBox(p + dx, bxMin, bxMax);
    GetBlockRangeOfBox(p + dz, bzMin, bzMax);
    GetBlockRangeOfBox(p + dy, byMin, byMax);

    // A horizontal axis: blocked boxes may be stepped up one row on the ground.
    // Each move is also refused when the body would pass through an occupied
    // cell on its way (PassesThroughCell), which a long move can do even when
    // the box at its end is free.
    auto horizontal = [&](Vector3i min, Vector3i max, const Vector3& delta, double& component) {
        if (!IsBoxOccupied(min, max) && !PassesThroughCell(p, p + delta)) {
            p = p + delta;
            return;
        }
        min.y += 1;
        max.y += 1;
        if (onGround && !IsBoxOccupied(min, max)) {
            Vector3 stepped = p;
            stepped.y += kStepUp * t;
            stepped = stepped + delta;
            if (!PassesThroughCell(p, stepped)) {
                p = stepped;
                return;
            }
        }
        component = 0.0;
    };
    horizontal(bxMin, bxMax, dx, v.x);
    horizontal(bzMin, bzMax, dz, v.z);

    if (!IsBoxOccupied(byMin, byMax) && !PassesThroughCell(p, p + dy)) {
        p = p + dy;
        onGround = false;
    } else {
        if (v.y <= 0.0) onGround = true;
        v.y = 0.0;
    }

    if (onGround) {
        const double s = v.Length();
        if (s <= kStopSpeed) {
            v = Vector3(0.0, 0.0, 0.0);
        } else {
            const double friction = kFriction * t;
            v = v * (s - (friction < s ? friction : s)) * (1.0 / s);
        }
    }
    v.y -= kGravity * t;

    GetBlockRangeOfBox(p, blockMin, blockMax);
}

bool Player::PassesThroughCell(const Vector3& from, const Vector3& to) const {
    using namespace Movement;
    const Vector3 way = to - from;
    const double steps = std::max({std::fabs(way.x) / (0.5 * kCellX), std::fabs(way.y) / (0.5 * kCellY),
                                   std::fabs(way.z) / (0.5 * kCellZ)});
    if (!(steps > 1.0)) return false;  // no longer than half a cell: its two ends are the whole way
    IBoxOccupancy* occupancy = occupancy_.load();
    if (occupancy == nullptr) return false;  // only the floor blocks, and the way stays above it

    Vector3i s0, s1, e0, e1;
    GetBlockRangeOfBox(from, s0, s1);
    GetBlockRangeOfBox(to, e0, e1);
    // The box that every step's box lies in; rows below 0 hold no cell.
    const Vector3i u0(std::min(s0.x, e0.x), std::max(0, std::min(s0.y, e0.y)), std::min(s0.z, e0.z));
    const Vector3i u1(std::max(s1.x, e1.x), std::max(s1.y, e1.y), std::max(s1.z, e1.z));
    if (u0.y > u1.y) return false;
    const int64_t nx = int64_t(u1.x) - u0.x + 1, ny = int64_t(u1.y) - u0.y + 1, nz = int64_t(u1.z) - u0.z + 1;
    if (steps > kMaxSweepSteps || nx * ny * nz > kMaxSweptCells)
        // Too long to follow cell by cell (no input makes such a way; only a
        // script's push can): it is clear only when its whole box is.
        return occupancy->IsBoxOccupied(u0, u1);

    // The occupied cells of that box that the body touches at neither end.
    thread_local std::vector<Vector3i> cells;
    cells.clear();
    occupancy->CollectOccupiedCells(u0, u1, cells);
    auto inBox = [](const Vector3i& c, const Vector3i& min, const Vector3i& max) {
        return c.x >= min.x && c.x <= max.x && c.y >= min.y && c.y <= max.y && c.z >= min.z && c.z <= max.z;
    };
    thread_local std::vector<uint8_t> marked;
    marked.assign(static_cast<size_t>(nx * ny * nz), 0);
    auto at = [&](int64_t x, int64_t y, int64_t z) {
        return static_cast<size_t>(((x - u0.x) * ny + (y - u0.y)) * nz + (z - u0.z));
    };
    bool any = false;
    for (const Vector3i& c : cells) {
        if (inBox(c, s0, s1) || inBox(c, e0, e1)) continue;
        marked[at(c.x, c.y, c.z)] = 1;
        any = true;
    }
    if (!any) return false;

    // The way in steps no longer than half a cell on every axis.
    const int n = static_cast<int>(std::ceil(steps));
    for (int k = 1; k < n; ++k) {
        Vector3i b0, b1;
        GetBlockRangeOfBox(from + way * (static_cast<double>(k) / n), b0, b1);
        for (int64_t x = std::max(b0.x, u0.x); x <= std::min(b1.x, u1.x); ++x)
            for (int64_t y = std::max(b0.y, u0.y); y <= std::min(b1.y, u1.y); ++y)
                for (int64_t z = std::max(b0.z, u0.z); z <= std::min(b1.z, u1.z); ++z)
                    if (marked[at(x, y, z)]) return true;
    }
    return false;
}

// --- operations from other threads ---

void Player::PushPlayer(const Vector3& newPush) {
    std::lock_guard<std::mutex> lock(mutex);
    push = newPush;
}

void Player::SetItem(ItemWrapper item) {
    heldItem = std::make_unique<ItemWrapper>(std::move(item));
    hasItem = true;
}

void Player::AddToInventory(const BrickType& type, int32_t amount) {
    std::lock_guard<std::mutex> lock(mutex);
    inventory.Add(type, amount);
    inventoryEdited = true;
}

int32_t Player::GetInventoryCount(const BrickType& type) {
    std::lock_guard<std::mutex> lock(mutex);
    return inventory.GetCount(type);
}

PlayerState Player::CopyPlayerState(bool display) {
    std::lock_guard<std::mutex> lock(mutex);
    return display ? displayState : simulatedState;
}

}  // namespace Tav
