#pragma once
// The order of the program's locks, outermost first. A thread that holds one
// of them takes only locks further down the list, never one above it; two
// locks of the same line are never held together unless the line says so.
//
//  1. The Lua lock (ServerCommander, recursive): every entry into the script
//     state. No other lock of this list is held when it is taken.
//  2. The replica manager's lock (Net::ReplicaManager, recursive): held by the
//     thread that drains the network peer while replicas are constructed,
//     serialised and destroyed, and by BroadcastDestruction.
//  3. Residency (ServerChunker): an edit of the world (ServerChunker::
//     EditScope) from its first lookup to its last use of the chunks it
//     collected, eviction's pass, and the stop's teardown of the tree.
//  4. The entity registry (EntityManager): its lists and every walk of them.
//  5. The physics world (PhysicsManager): each step, and each body added or
//     removed.
//  6. An entity's own mutex (BaseEntity::mutex): a player's state and
//     inventory, a physics entity's motion state; one entity at a time.
//  7. The database connection (ServerChunker): one statement at a time, a
//     load's query or one statement of the store thread's transaction (so a
//     load waits for at most one statement of a store).
//  8. The show order (ServerChunker): held around the send of a chunk
//     message, an answer's (with the octree taken under it to check or read
//     what the message shows) and the store thread's broadcasts, so that
//     they reach the peers in the order of what they show.
//  9. The octree (BaseChunker): the tree of loaded chunks, their cells, and
//     the chunks whose latest change is not stored. BaseChunker::Stop takes
//     its teardown mutex just before it.
// 10. The scratch buffers (ScratchBufferLock): the decompress buffer's lock
//     before the compress buffer's.
//
// Leaves, under which nothing else is taken: the pins of PlayerRef (taken
// under the registry), the chunk manager's two request queues, its store
// queue (taken under the octree by an edit that queues its copies) and the
// queue of its answer-sending thread, the
// replica manager's reference queue, the server's spawn notices, the chunk
// and node pools, and the pool behind the network library's allocation hooks.
// The server's endpoint lock is held around the send of one chunk message,
// with nothing of this list held but the show order, and only the network
// library's own locks
// (and its allocation pool) are taken under it. The Lua lock's own mutex is
// held only inside the Lua lock's operations.
