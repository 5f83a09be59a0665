#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Tav {

class Chunk;

// A node of the octree over chunk coordinates. A node is empty, a leaf
// (isLeaf: it files one chunk under its key) or an inner node (hasChildren).
// Boxes are half-open: min <= c < max on each axis. Child i takes the upper
// half of x when bit 0 of i is set, of y for bit 1 and of z for bit 2; an
// axis splits at min + (max - min) / 2.
//
// The tree has no lock of its own: callers hold BaseChunker::octreeMutex.
class OctreeNode {
public:
    // The root's box.
    static constexpr int32_t kRootMinX = -24000;
    static constexpr int32_t kRootMaxX = 24000;
    static constexpr int32_t kRootMinY = 0;
    static constexpr int32_t kRootMaxY = 5;
    static constexpr int32_t kRootMinZ = -24000;
    static constexpr int32_t kRootMaxZ = 24000;
    static constexpr int32_t kNoKey = 2147483647;

    // The fields that a lookup reads at every level come first, so that a
    // step of the descent touches one cache line: the split points of the
    // box (set with the box by SetBox), the state flags and the children.
    int32_t midX = 0, midY = 0, midZ = 0;
    bool isLeaf = false;
    bool hasChildren = false;
    OctreeNode* children[8] = {};
    // The box; change it only through SetBox.
    int32_t minX = 0, maxX = 0, minY = 0, maxY = 0, minZ = 0, maxZ = 0;
    Chunk* payload = nullptr;
    int32_t keyX = kNoKey, keyY = kNoKey, keyZ = kNoKey;

    OctreeNode() = default;
    OctreeNode(const OctreeNode&) = delete;
    OctreeNode& operator=(const OctreeNode&) = delete;
    // Clears the node (its subtree goes back to the pool) and marks it not a leaf.
    ~OctreeNode();

    // The node pool (safe from any thread). AllocRoot gives an empty node
    // with the root's box; ReleaseNode clears a node and gives it back.
    static OctreeNode* AllocNode(int32_t minX, int32_t maxX, int32_t minY, int32_t maxY, int32_t minZ, int32_t maxZ);
    static OctreeNode* AllocRoot();
    static void ReleaseNode(OctreeNode* node);

    // Sets the box and its split points: min + (max - min) / 2 on each axis.
    void SetBox(int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t z0, int32_t z1) {
        minX = x0;
        maxX = x1;
        minY = y0;
        maxY = y1;
        minZ = z0;
        maxZ = z1;
        midX = minX + (maxX - minX) / 2;
        midY = minY + (maxY - minY) / 2;
        midZ = minZ + (maxZ - minZ) / 2;
    }

    bool Contains(int32_t x, int32_t y, int32_t z) const {
        return x >= minX && x < maxX && y >= minY && y < maxY && z >= minZ && z < maxZ;
    }

    // The chunk filed under exactly (x, y, z) in this subtree, or null.
    Chunk* Find(int32_t x, int32_t y, int32_t z) const;
    // This node if it is a leaf, null if it is empty, else the child whose
    // box contains the point (null if none does).
    OctreeNode* ChildContaining(int32_t x, int32_t y, int32_t z) const;
    // Files the chunk under (x, y, z). Refuses (false, tree unchanged) a key
    // outside this node's box and a key that is already filed ("Node already
    // exist!\n" on the debugger output). A key that differs from the chunk's
    // own coordinates is reported ("There was a problem adding the node!\n",
    // once per step of the descent) and filed all the same.
    bool Insert(int32_t x, int32_t y, int32_t z, Chunk* chunk);
    // Takes the leaf filed under (x, y, z) out of the tree and returns its
    // chunk (null when the key is not filed). Nodes left without any chunk
    // below them are given back to the pool, and a node left with a single
    // leaf below it takes that leaf over, so the tree stays as small as its
    // chunks need.
    Chunk* Remove(int32_t x, int32_t y, int32_t z);
    // Gives an empty node eight empty children split at the midpoints.
    void Subdivide(int32_t midX, int32_t midY, int32_t midZ);
    // Appends the chunk of every leaf whose key lies in the inclusive box.
    void Collect(std::vector<Chunk*>& out, int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t z0,
                 int32_t z1) const;
    // Gives every descendant back to the pool; the node keeps its flags but
    // loses its children. The chunks of removed leaves are not touched.
    void Clear();

    // Nodes currently taken from the pool (for leak checks).
    static size_t NodesInUse();

private:
    int ChildIndex(int32_t x, int32_t y, int32_t z) const {
        return (x >= midX ? 1 : 0) | (y >= midY ? 2 : 0) | (z >= midZ ? 4 : 0);
    }
    bool InsertFrom(int32_t x, int32_t y, int32_t z, Chunk* chunk);
};

}  // namespace Tav
