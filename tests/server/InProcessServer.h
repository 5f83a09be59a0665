#pragma once
// Tests of the server object in the test's own process. Each test runs in a
// temporary working folder of its own, where the server keeps its world.db;
// the brick and terrain tables are built once for the suite.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "world/BrickCatalogue.h"
#include "world/TerrainGenerator.h"

namespace TavTest {

class InProcessServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Tav::BrickCatalogue::Build();
        Tav::TerrainGenerator::PrepareShapeTables();
    }
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("tav-server-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Checks pred every millisecond until it holds; false at the deadline.
    template <class Pred>
    static bool PollUntil(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::filesystem::path previous_;
    std::filesystem::path dir_;
};

}  // namespace TavTest
