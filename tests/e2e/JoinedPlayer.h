#pragma once
// A fixture for tests of one client against the real server binary:
// StartAndJoin starts the server in a working folder of its own, waits until
// it listens and has loaded its scripts, connects a replica client and waits
// for that client's own player. The server is told to exit after the test
// and must end with code 0 and without a sanitizer report.
#include <gtest/gtest.h>

#include <optional>

#include "e2e/ProcessHarness.h"
#include "e2e/ReplicaClient.h"

namespace TavTest {

class JoinedPlayerTest : public ::testing::Test {
protected:
    void StartAndJoin() {
        server.emplace(folder);
        ASSERT_TRUE(server->WaitForLine("Starting server...")) << server->Transcript();
        ASSERT_TRUE(server->WaitUntilListening()) << server->Transcript();
        ASSERT_TRUE(server->WaitForLine("Loaded scripts")) << server->Transcript();
        ASSERT_TRUE(client.Connect()) << server->Transcript();
        ASSERT_TRUE(client.WaitForOwnPlayer()) << server->Transcript();
        own = client.Own();
    }
    void TearDown() override {
        if (!server) return;
        ASSERT_TRUE(server->WriteLine("exit"));
        EXPECT_EQ(server->WaitExit(), 0) << server->Transcript();
        EXPECT_EQ(server->SanitizerReport(), "");
    }

    WorkFolder folder;
    std::optional<ServerProcess> server;
    ReplicaClient client;
    const SeenEntity* own = nullptr;
};

}  // namespace TavTest
