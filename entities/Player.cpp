#include "entities/Player.h"

#include <cmath>

#include "entities/EntityManager.h"
#include "entities/Movement.h"
#include "world/IBoxOccupancy.h"

namespace Tav {

std::atomic<IBoxOccupancy*> Player::occupancy_{nullptr};

namespace {

// Cell coordinates stay far inside 32 bits whatever a client makes of its
// position (its input is not trusted).
constexpr double kCellLimit = 1073741824.0;  // 2^30

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
    // (Held item: its references to the script object are released here.)
    // Leaves the registry if still there and waits until no PlayerRef pins
    // the player; only then are its members released.
    g_entityManager.ForgetPlayer(this);
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
    // The whole inventory travels in this one serialisation only (the next
    // ones carry the bit 0 until it changes again), so this one must not be
    // lost: it goes reliably, in order with the unreliable ones of the same
    // channel, which the receiver's sequence numbers keep from overtaking it.
    if (wholeInventory) serializeParameters->reliability[0] = Net::RELIABLE_ORDERED;
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
    std::lock_guard<std::mutex> lock(mutex);
    double dt = input.time - lastInput.time;
    if (dt > 1.0) dt = 1.0;
    Move(input, dt);
    lastInput = input;
}

void Player::Move(const PlayerInput& input, double dt) {
    using namespace Movement;
    const double t = kTimeScale * dt;
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
    auto horizontal = [&](Vector3i min, Vector3i max, const Vector3& delta, double& component) {
        if (!IsBoxOccupied(min, max)) {
            p = p + delta;
            return;
        }
        min.y += 1;
        max.y += 1;
        if (onGround && !IsBoxOccupied(min, max)) {
            p.y += kStepUp * t;
            p = p + delta;
        } else {
            component = 0.0;
        }
    };
    horizontal(bxMin, bxMax, dx, v.x);
    horizontal(bzMin, bzMax, dz, v.z);

    if (!IsBoxOccupied(byMin, byMax)) {
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

// --- operations from other threads ---

void Player::PushPlayer(const Vector3& newPush) {
    std::lock_guard<std::mutex> lock(mutex);
    push = newPush;
}

void Player::AddToInventory(const BrickType& type, int32_t amount) {
    std::lock_guard<std::mutex> lock(mutex);
    inventory.Add(type, amount);
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
