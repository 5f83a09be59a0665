#include "world/Octree.h"

#include <algorithm>
#include <functional>
#include <mutex>

#include <boost/pool/object_pool.hpp>

#include "core/Debug.h"
#include "world/Chunk.h"

namespace Tav {

namespace {

struct NodePool {
    std::mutex mutex;
    boost::object_pool<OctreeNode> pool;
    size_t inUse = 0;
    // Set while the pool itself is destroyed at exit: the nodes that it still
    // holds are destroyed by it and must not give their children back.
    bool closing = false;
    ~NodePool() { closing = true; }
};

NodePool& Pool() {
    static NodePool pool;
    return pool;
}

// Constructed before main runs, so that the pool outlives every user.
struct PoolStartup {
    PoolStartup() { Pool(); }
} g_poolStartup;

}  // namespace

OctreeNode::~OctreeNode() {
    if (!Pool().closing) Clear();
    isLeaf = false;
}

OctreeNode* OctreeNode::AllocNode(int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t z0, int32_t z1) {
    NodePool& p = Pool();
    OctreeNode* node;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        node = p.pool.construct();
        ++p.inUse;
    }
    node->SetBox(x0, x1, y0, y1, z0, z1);
    return node;
}

OctreeNode* OctreeNode::AllocRoot() {
    return AllocNode(kRootMinX, kRootMaxX, kRootMinY, kRootMaxY, kRootMinZ, kRootMaxZ);
}

void OctreeNode::ReleaseNode(OctreeNode* node) {
    if (node == nullptr) return;
    node->Clear();
    NodePool& p = Pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.pool.destroy(node);
    --p.inUse;
}

size_t OctreeNode::NodesInUse() {
    NodePool& p = Pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.inUse;
}

OctreeNode* OctreeNode::ChildContaining(int32_t x, int32_t y, int32_t z) const {
    if (isLeaf) return const_cast<OctreeNode*>(this);
    if (!hasChildren) return nullptr;
    // The children split this box into eight disjoint parts, so the one that
    // the midpoints pick is the only one that can hold the point.
    OctreeNode* child = children[ChildIndex(x, y, z)];
    return child != nullptr && child->Contains(x, y, z) ? child : nullptr;
}

Chunk* OctreeNode::Find(int32_t x, int32_t y, int32_t z) const {
    // Below a node that contains the point, the child picked by the midpoints
    // contains it too: the box test is needed once, here.
    if (!Contains(x, y, z)) return nullptr;
    const OctreeNode* n = this;
    while (n != nullptr) {
        if (n->isLeaf) {
            return (n->keyX == x && n->keyY == y && n->keyZ == z) ? n->payload : nullptr;
        }
        if (!n->hasChildren) return nullptr;
        n = n->children[n->ChildIndex(x, y, z)];
    }
    return nullptr;
}

bool OctreeNode::Insert(int32_t x, int32_t y, int32_t z, Chunk* chunk) {
    if (chunk == nullptr) return false;
    if (!Contains(x, y, z)) {
        DebugOutput("Node outside the tree!\n");
        return false;
    }
    // A duplicate can only be found from the node where the descent starts:
    // deeper nodes hold a part of what this one holds.
    if (Find(x, y, z) != nullptr) {
        if (chunk->cx != x || chunk->cy != y || chunk->cz != z) {
            DebugOutput("There was a problem adding the node!\n");
        }
        DebugOutput("Node already exist!\n");
        return false;
    }
    return InsertFrom(x, y, z, chunk);
}

bool OctreeNode::InsertFrom(int32_t x, int32_t y, int32_t z, Chunk* chunk) {
    OctreeNode* n = this;
    while (n != nullptr) {
        if (chunk->cx != x || chunk->cy != y || chunk->cz != z) {
            DebugOutput("There was a problem adding the node!\n");
        }
        if (!n->isLeaf && !n->hasChildren) {
            n->payload = chunk;
            n->keyX = x;
            n->keyY = y;
            n->keyZ = z;
            n->isLeaf = true;
            return true;
        }
        n->isLeaf = false;
        if (!n->hasChildren) {
            // A leaf splits: its chunk moves down into the child that holds its key.
            n->Subdivide(n->midX, n->midY, n->midZ);
            OctreeNode* old = n->ChildContaining(n->keyX, n->keyY, n->keyZ);
            if (old != nullptr) old->InsertFrom(n->keyX, n->keyY, n->keyZ, n->payload);
        }
        n = n->ChildContaining(x, y, z);
    }
    return false;
}

void OctreeNode::Subdivide(int32_t midX, int32_t midY, int32_t midZ) {
    if (hasChildren) return;  // children in place are never dropped
    for (int i = 0; i < 8; ++i) {
        const int32_t x0 = (i & 1) ? midX : minX;
        const int32_t x1 = (i & 1) ? maxX : midX;
        const int32_t y0 = (i & 2) ? midY : minY;
        const int32_t y1 = (i & 2) ? maxY : midY;
        const int32_t z0 = (i & 4) ? midZ : minZ;
        const int32_t z1 = (i & 4) ? maxZ : midZ;
        children[i] = AllocNode(x0, x1, y0, y1, z0, z1);
    }
    hasChildren = true;
}

Chunk* OctreeNode::Remove(int32_t x, int32_t y, int32_t z) {
    // The descent is at most about 18 levels deep (16 halvings of 48000 and
    // the width-one splits); the bound only guards the array.
    constexpr int kMaxDepth = 64;
    OctreeNode* path[kMaxDepth];
    int depth = 0;
    OctreeNode* n = this;
    for (;;) {
        if (n == nullptr || !n->Contains(x, y, z) || depth == kMaxDepth) return nullptr;
        path[depth++] = n;
        if (n->isLeaf) {
            if (n->keyX != x || n->keyY != y || n->keyZ != z) return nullptr;
            break;
        }
        if (!n->hasChildren) return nullptr;
        n = n->children[n->ChildIndex(x, y, z)];
    }
    Chunk* chunk = n->payload;
    n->isLeaf = false;
    n->payload = nullptr;
    n->keyX = n->keyY = n->keyZ = kNoKey;

    // Walk back up: a node whose children hold no inner node and at most one
    // leaf gives its children back, taking that leaf over.
    for (int i = depth - 2; i >= 0; --i) {
        OctreeNode* parent = path[i];
        const OctreeNode* leaf = nullptr;
        int leaves = 0;
        bool inner = false;
        for (const OctreeNode* child : parent->children) {
            if (child == nullptr) continue;
            if (child->hasChildren) {
                inner = true;
            } else if (child->isLeaf) {
                ++leaves;
                leaf = child;
            }
        }
        if (inner || leaves > 1) break;
        Chunk* keptChunk = leaf != nullptr ? leaf->payload : nullptr;
        const int32_t kx = leaf != nullptr ? leaf->keyX : kNoKey;
        const int32_t ky = leaf != nullptr ? leaf->keyY : kNoKey;
        const int32_t kz = leaf != nullptr ? leaf->keyZ : kNoKey;
        parent->Clear();
        parent->isLeaf = keptChunk != nullptr;
        parent->payload = keptChunk;
        parent->keyX = kx;
        parent->keyY = ky;
        parent->keyZ = kz;
    }
    return chunk;
}

void OctreeNode::Collect(std::vector<Chunk*>& out, int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t z0,
                         int32_t z1) const {
    if (isLeaf) {
        if (keyX >= x0 && keyX <= x1 && keyY >= y0 && keyY <= y1 && keyZ >= z0 && keyZ <= z1) {
            out.push_back(payload);
        }
        return;
    }
    if (!hasChildren) return;
    for (const OctreeNode* child : children) {
        if (child == nullptr) continue;
        if (child->minX <= x1 && child->maxX > x0 && child->minY <= y1 && child->maxY > y0 &&
            child->minZ <= z1 && child->maxZ > z0) {
            child->Collect(out, x0, x1, y0, y1, z0, z1);
        }
    }
}

void OctreeNode::Clear() {
    if (!hasChildren) return;
    // Detach the whole subtree first, then give it back in one go, highest
    // address first: the pool keeps its free list in address order, and this
    // order makes each return O(1) instead of a walk along the list.
    std::vector<OctreeNode*> nodes;
    for (OctreeNode*& child : children) {
        if (child != nullptr) nodes.push_back(child);
        child = nullptr;
    }
    hasChildren = false;
    for (size_t i = 0; i < nodes.size(); ++i) {
        OctreeNode* node = nodes[i];
        if (node->hasChildren) {
            for (OctreeNode*& child : node->children) {
                if (child != nullptr) nodes.push_back(child);
                child = nullptr;
            }
            node->hasChildren = false;
        }
    }
    std::sort(nodes.begin(), nodes.end(), std::greater<OctreeNode*>());
    NodePool& p = Pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    for (OctreeNode* node : nodes) {
        node->isLeaf = false;
        p.pool.destroy(node);
    }
    p.inUse -= nodes.size();
}

}  // namespace Tav
