#pragma once
// What the chunk manager needs of the program that hosts it. The chunk worker
// calls these on its own thread (SendChunkEntries: the store thread;
// SendChunks for answers of many chunks: the worker's sending thread); the
// server implements them (the world layer never includes the server's
// headers).
#include <cstdint>
#include <functional>

#include "math/Vector3.h"
#include "net/BitStream.h"
#include "net/Types.h"
#include "world/Chunk.h"

namespace Tav {

class IChunkHost {
public:
    virtual ~IChunkHost() = default;

    // Sends the chunks of the set in one chunk-data message, each as it is
    // stored (ServerChunker::AppendShownEntries), leaving out those that show
    // no cell; nothing when none is left. The chunks stay resident for the
    // whole call (eviction passes over the chunks of an
    // answer until it has been sent).
    virtual void SendChunks(const TouchedSet& chunks, const Net::AddressOrGuid& target, int priority,
                            bool broadcast) = 0;

    // Sends one chunk-data message whose body (count entries of 12300 bytes:
    // cx, cy, cz, then the cell form) is given; from the store thread, with
    // the copies of the cells that were stored.
    virtual void SendChunkEntries(uint32_t count, const Net::BitStream& body, const Net::AddressOrGuid& target,
                                  int priority, bool broadcast) = 0;

    // Creates the player of a new connection; the block of chunks around the
    // spawn column has been made resident just before.
    virtual void SpawnPlayer(Net::Guid guid, const Vector3& position) = 0;

    // The script garbage step of every worker step (does nothing until the
    // scripts are ready).
    virtual void CollectScriptGarbage() = 0;

    // The per-step update of the items that players hold; dt is the time
    // since the previous worker step in seconds, at most 0.1.
    virtual void UpdateHeldItems(double dt) = 0;

    // Calls visit with the display position of every player, under the
    // entity registry's mutex. visit must not take any other lock of the
    // program (the chunk manager only copies the positions).
    virtual void ForEachPlayerPosition(const std::function<void(const Vector3&)>& visit) = 0;
};

}  // namespace Tav
