#pragma once
// A test of the chunk manager against a real SQLite file: each test gets a
// temporary folder of its own (dir), removed afterwards, and the name of
// its world.db in it (file); the brick, terrain and scratch tables are built
// once for the suite.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "world/BrickCatalogue.h"
#include "world/ScratchBuffers.h"
#include "world/ServerChunker.h"
#include "world/TerrainGenerator.h"

namespace Tav {

class ChunkerFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        BrickCatalogue::Build();
        TerrainGenerator::PrepareShapeTables();
        SimplexNoise::InitPermutations();
        AllocateScratchBuffers();
    }
    void SetUp() override {
        char pattern[] = "/tmp/tav-chunker-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        file = dir + "/world.db";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // A request of the coordinates from the peer.
    static ChunkRequest Request(std::vector<Vector3i> coordinates, uint64_t peer = 77) {
        ChunkRequest r;
        r.coordinates = std::move(coordinates);
        r.target = Net::AddressOrGuid(Net::Guid(peer));
        return r;
    }

    std::string dir, file;
};

}  // namespace Tav
