#pragma once
// The physics world of the server: a Bullet dynamics world in which every
// physics entity is a rigid box of one cell, and the thread that steps it.
// The world holds nothing else (no ground, no bricks, no players).
//
// Life cycle, as the server drives it:
//   PhysicsManager()  ->  InitWorld()  ->  Start()  (or: running = true and a
//   thread on Run())  ->  AddEntity(...) from any thread  ->  Stop()  (clears
//   running, joins)  ->  Shutdown()  (releases every body and the world).
//
// Time base: each pass of Run measures the time since the previous pass on a
// steady clock with microsecond resolution (the first pass measures from
// construction) and hands it to Bullet, which advances in whole sub-steps of
// 1/60 s, at most 10 per call, and keeps the remainder for the next call.
//
// Locks: the world mutex is held around every step and every addition or
// removal of a body; inside a step the entity's mutex is taken (world ->
// entity), never the other way round.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "entities/BulletIncludes.h"
#include "entities/MotionState.h"

namespace Tav {

class PhysicsEntity;

// Connects a rigid body to its entity: Bullet reads the start pose from it and
// writes every stepped pose back into the entity's simulated state.
class EntityMotionState : public btMotionState {
public:
    explicit EntityMotionState(PhysicsEntity* entity) : entity(entity) {}
    ~EntityMotionState() override = default;
    // Origin: the entity's simulated position; basis: 1.57 rad about (1, 1, 0)/sqrt 2.
    void getWorldTransform(btTransform& worldTrans) const override;
    // Position and rotation from the transform, velocity (0, 0, 0).
    void setWorldTransform(const btTransform& worldTrans) override;

    PhysicsEntity* entity;  // not owned; null once the entity has gone
};

class PhysicsManager {
public:
    PhysicsManager();
    // Stops the thread and releases what Shutdown did not (nothing after it).
    ~PhysicsManager();
    PhysicsManager(const PhysicsManager&) = delete;
    PhysicsManager& operator=(const PhysicsManager&) = delete;

    void InitWorld();
    // The body of the physics thread: steps while running is set.
    void Run();
    // Sets running and starts the thread on Run (nothing when it runs already).
    void Start();
    // Clears running and joins the thread.
    void Stop();
    // Gives the entity a rigid body; nothing when the world is not set up.
    void AddEntity(PhysicsEntity* entity);
    // Takes the entity's body out of the world and releases it (called when
    // an entity that still has a body is destroyed).
    void RemoveEntity(PhysicsEntity* entity);
    // One step of dt seconds (at most 10 sub-steps of 1/60 s) under the world
    // mutex; what each pass of Run does.
    void Step(double dt);
    // Removes and releases every body, then the world. Run it with the thread
    // stopped.
    void Shutdown();

    // Bodies in the world (0 without a world).
    int GetBodyCount();
    bool HasWorld();

    std::thread thread;
    std::mutex worldMutex;
    std::atomic<bool> running{false};

private:
    btDefaultCollisionConfiguration* collisionConfiguration_ = nullptr;
    btCollisionDispatcher* dispatcher_ = nullptr;
    btBroadphaseInterface* broadphase_ = nullptr;
    btSequentialImpulseConstraintSolver* solver_ = nullptr;
    btDiscreteDynamicsWorld* world_ = nullptr;
    btCollisionShape* bodyShape_ = nullptr;
    btCollisionShape* inertiaShape_ = nullptr;
    btVector3 localInertia_{0, 0, 0};
    std::chrono::steady_clock::time_point lastPass_;

    void ReleaseBody(btCollisionObject* object);
};

}  // namespace Tav
