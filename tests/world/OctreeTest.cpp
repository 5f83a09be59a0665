#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "world/Chunk.h"
#include "world/Octree.h"

namespace Tav {
namespace {

// A root from the node pool with chunks of its own, all given back at the end.
class OctreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        nodesBefore_ = OctreeNode::NodesInUse();
        root_ = OctreeNode::AllocRoot();
    }
    void TearDown() override {
        OctreeNode::ReleaseNode(root_);
        EXPECT_EQ(OctreeNode::NodesInUse(), nodesBefore_);
        for (Chunk* c : chunks_) FreeChunk(c);
    }
    Chunk* Make(int32_t x, int32_t y, int32_t z) {
        Chunk* c = AllocChunk();
        c->cx = x;
        c->cy = y;
        c->cz = z;
        chunks_.push_back(c);
        return c;
    }
    Chunk* Add(int32_t x, int32_t y, int32_t z) {
        Chunk* c = Make(x, y, z);
        EXPECT_TRUE(root_->Insert(x, y, z, c)) << x << "," << y << "," << z;
        return c;
    }
    OctreeNode* root_ = nullptr;
    std::vector<Chunk*> chunks_;
    size_t nodesBefore_ = 0;
};

TEST_F(OctreeTest, FirstInsertMakesTheRootALeaf) {
    Chunk* a = Add(3, 1, -7);
    EXPECT_TRUE(root_->isLeaf);
    EXPECT_FALSE(root_->hasChildren);
    EXPECT_EQ(root_->Find(3, 1, -7), a);
    for (const Vector3i other : {Vector3i(3, 1, -6), Vector3i(0, 0, 0), Vector3i(-7, 1, 3)}) {
        EXPECT_EQ(root_->Find(other.x, other.y, other.z), nullptr);
    }
    EXPECT_EQ(root_->ChildContaining(0, 0, 0), root_);
}

TEST_F(OctreeTest, SplitsPartTheKeys) {
    Chunk* a = Add(0, 0, 0);
    Chunk* b = Add(0, 0, 1);
    ASSERT_TRUE(root_->hasChildren);
    EXPECT_FALSE(root_->isLeaf);
    // The root splits at (0, 2, 0); both keys lie in child 5.
    const OctreeNode* c5 = root_->children[5];
    EXPECT_EQ((std::vector<int32_t>{c5->minX, c5->maxX, c5->minY, c5->maxY, c5->minZ, c5->maxZ}),
              (std::vector<int32_t>{0, 24000, 0, 2, 0, 24000}));
    EXPECT_TRUE(c5->hasChildren);
    EXPECT_EQ(root_->ChildContaining(0, 0, 0), c5);
    EXPECT_EQ(root_->ChildContaining(-1, 4, 0), root_->children[6]);
    EXPECT_EQ(root_->ChildContaining(-1, 4, -1), root_->children[2]);
    EXPECT_EQ(root_->ChildContaining(0, 5, 0), nullptr);
    EXPECT_EQ(root_->Find(0, 0, 0), a);
    EXPECT_EQ(root_->Find(0, 0, 1), b);

    Chunk* c = Add(5, 1, 5);
    Chunk* d = Add(5, 2, 5);
    EXPECT_EQ(root_->Find(5, 1, 5), c);
    EXPECT_EQ(root_->Find(5, 2, 5), d);
    EXPECT_EQ(root_->Find(0, 0, 0), a);
    EXPECT_EQ(root_->Find(0, 0, 1), b);
}

TEST_F(OctreeTest, BoxEdgesAndRefusals) {
    // Valid corners of the world.
    Chunk* low = Add(-24000, 0, -24000);
    Chunk* high = Add(23999, 4, 23999);
    EXPECT_EQ(root_->Find(-24000, 0, -24000), low);
    EXPECT_EQ(root_->Find(23999, 4, 23999), high);
    // Outside the root's box: refused, tree unchanged, lookups null.
    const Vector3i outside[] = {{0, 5, 0}, {0, -1, 0}, {24000, 0, 0}, {-24001, 0, 0}, {0, 0, 24000},
                                {INT32_MIN, 0, 0}, {0, INT32_MAX, 0}};
    for (const Vector3i& o : outside) {
        Chunk* c = Make(o.x, o.y, o.z);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(root_->Insert(o.x, o.y, o.z, c)) << o.ToString();
        EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
        EXPECT_EQ(root_->Find(o.x, o.y, o.z), nullptr) << o.ToString();
    }
    EXPECT_FALSE(root_->Insert(1, 1, 1, nullptr));
    std::vector<Chunk*> all;
    root_->Collect(all, -24000, 24000, -50, 50, -24000, 24000);
    EXPECT_EQ(all.size(), 2u);
}

TEST_F(OctreeTest, DuplicatesAreRefusedAndMismatchedKeysReported) {
    Chunk* first = Add(2, 2, 2);
    Add(9, 0, 9);
    Chunk* second = Make(2, 2, 2);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(root_->Insert(2, 2, 2, second));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Node already exist!\n");
    EXPECT_EQ(root_->Find(2, 2, 2), first);

    // Filed under a key that is not its own: reported at every step of the
    // descent (at least once), and found under the key.
    Chunk* stray = Make(100, 0, 100);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(root_->Insert(-50, 3, 70, stray));
    const std::string out = testing::internal::GetCapturedStderr();
    const std::string message = "There was a problem adding the node!\n";
    ASSERT_GE(out.size(), message.size());
    EXPECT_EQ(out.size() % message.size(), 0u);
    EXPECT_EQ(out.substr(0, message.size()), message);
    EXPECT_EQ(root_->Find(-50, 3, 70), stray);
    EXPECT_EQ(root_->Find(100, 0, 100), nullptr);
}

TEST_F(OctreeTest, CollectAndRemoveAgreeWithAModel) {
    std::mt19937 rng(1234);
    std::set<Vector3i> model;
    // Clusters near the origin (deep splits) and keys spread over the world.
    while (model.size() < 3000) {
        const bool near = rng() % 4 != 0;
        const int32_t x = near ? static_cast<int32_t>(rng() % 40) - 20 : static_cast<int32_t>(rng() % 48000) - 24000;
        const int32_t z = near ? static_cast<int32_t>(rng() % 40) - 20 : static_cast<int32_t>(rng() % 48000) - 24000;
        const Vector3i key(x, static_cast<int32_t>(rng() % 5), z);
        if (model.insert(key).second) Add(key.x, key.y, key.z);
    }
    auto collect = [this](int32_t x0, int32_t x1, int32_t y0, int32_t y1, int32_t z0, int32_t z1) {
        std::vector<Chunk*> out;
        root_->Collect(out, x0, x1, y0, y1, z0, z1);
        std::set<Vector3i> keys;
        for (const Chunk* c : out) keys.insert(c->Coordinates());
        EXPECT_EQ(keys.size(), out.size()) << "a chunk collected twice";
        return keys;
    };
    EXPECT_EQ(collect(-24000, 24000, -50, 50, -24000, 24000), model);
    std::set<Vector3i> box;
    for (const Vector3i& k : model) {
        if (k.x >= -5 && k.x <= 7 && k.y >= 1 && k.y <= 3 && k.z >= -20 && k.z <= 0) box.insert(k);
    }
    EXPECT_EQ(collect(-5, 7, 1, 3, -20, 0), box);

    // Remove in random order; after each removal the key is gone and the rest stay.
    std::vector<Vector3i> order(model.begin(), model.end());
    std::shuffle(order.begin(), order.end(), rng);
    const size_t nodesFull = OctreeNode::NodesInUse();
    for (size_t i = 0; i < order.size(); ++i) {
        const Vector3i& k = order[i];
        Chunk* expected = root_->Find(k.x, k.y, k.z);
        ASSERT_NE(expected, nullptr);
        ASSERT_EQ(root_->Remove(k.x, k.y, k.z), expected);
        ASSERT_EQ(root_->Find(k.x, k.y, k.z), nullptr);
        ASSERT_EQ(root_->Remove(k.x, k.y, k.z), nullptr);
        model.erase(k);
        if (i % 500 == 0 || model.size() < 5) {
            for (const Vector3i& rest : model) ASSERT_NE(root_->Find(rest.x, rest.y, rest.z), nullptr) << rest.ToString();
            ASSERT_EQ(collect(-24000, 24000, -50, 50, -24000, 24000), model);
        }
        if (i == order.size() / 2) {
            EXPECT_LT(OctreeNode::NodesInUse(), nodesFull);
        }
    }
    // Emptied: only the root is left, and it is empty.
    EXPECT_FALSE(root_->isLeaf);
    EXPECT_FALSE(root_->hasChildren);
    EXPECT_EQ(OctreeNode::NodesInUse(), nodesBefore_ + 1);
    EXPECT_EQ(root_->Remove(0, 0, 0), nullptr);
    // And it fills again as new.
    Chunk* again = Add(1, 1, 1);
    EXPECT_TRUE(root_->isLeaf);
    EXPECT_EQ(root_->Find(1, 1, 1), again);
}

TEST_F(OctreeTest, ClearGivesBackTheSubtreeButNotTheChunks) {
    for (int i = 0; i < 200; ++i) Add(i % 20, i % 5, i / 5);
    EXPECT_GT(OctreeNode::NodesInUse(), nodesBefore_ + 1);
    root_->Clear();
    EXPECT_FALSE(root_->hasChildren);
    EXPECT_EQ(OctreeNode::NodesInUse(), nodesBefore_ + 1);
    EXPECT_EQ(root_->Find(0, 0, 0), nullptr);
}

}  // namespace
}  // namespace Tav
