// The process as users meet it: the server binary with its console, signals
// and the test client, started as real processes talking over real UDP.
#include <gtest/gtest.h>

#include <signal.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/ProcessHarness.h"

namespace {

using TavTest::Process;
using TavTest::RawClient;
using TavTest::ServerProcess;
using TavTest::WorkFolder;

const char* const kTooLong = "The line is too long (at most 127 characters) and was ignored.";

// A main script that declares nothing, so that every console word other
// than exit and quit gets the dispatcher's answer.
const char* const kEmptyScript = "-- no commands\n";

std::string NotFound(const std::string& name) { return "Command '" + name + "' not found."; }

// The process ends by itself with code 0 and without a sanitizer report.
void ExpectOrderlyEnd(Process& process) {
    EXPECT_EQ(process.WaitExit(), 0) << process.Transcript();
    EXPECT_EQ(process.SanitizerReport(), "");
}

TEST(Process, TestClientAndServerReportTheConnectionAndItsEnd) {
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Starting server...")) << server.Transcript();
    // The test client gives up after its twelve attempts (6 s), so it is
    // started once the server listens, however slowly a loaded machine
    // brings the server up.
    ASSERT_TRUE(server.WaitUntilListening()) << server.Transcript();

    Process client(folder, {"c"});
    ASSERT_TRUE(client.WaitForLine("Starting client...")) << client.Transcript();
    // Once from the endpoint's event line, once from the test client itself.
    ASSERT_TRUE(client.WaitForLineCount("Our connection request has been accepted.", 2)) << client.Transcript();
    ASSERT_TRUE(server.WaitForLine("A connection is incoming.")) << server.Transcript();

    // A brick removal by another player (at an empty cell) still sends the
    // chunks concerned to every peer: the test client reports it.
    RawClient player;
    ASSERT_TRUE(player.Connect()) << server.Transcript();
    ASSERT_TRUE(player.WaitFor(Tav::ID_PLAYER_SPAWNED)) << server.Transcript();
    Net::BitStream remove;
    remove.Write(static_cast<uint8_t>(Tav::ID_REMOVE_BRICK));
    remove.Write(int32_t{3});
    remove.Write(int32_t{79});
    remove.Write(int32_t{3});
    ASSERT_TRUE(player.Send(remove));
    EXPECT_TRUE(client.WaitForLine("Chunk received")) << client.Transcript() << server.Transcript();

    ASSERT_TRUE(server.WriteLine("exit"));
    EXPECT_TRUE(server.WaitForLine("Shutting Down server...")) << server.Transcript();
    ExpectOrderlyEnd(server);
    EXPECT_TRUE(client.WaitForLine("We have been disconnected.")) << client.Transcript();
    EXPECT_TRUE(client.Running());  // the test client runs until it is killed
    EXPECT_EQ(client.SanitizerReport(), "");
}

struct ShutdownCase {
    const char* name;
    const char* line;  // written to the console, or null
    int signal;        // sent, or 0
};
// Failure messages show the case by its name.
void PrintTo(const ShutdownCase& c, std::ostream* out) { *out << c.name; }

class ProcessShutdown : public testing::TestWithParam<ShutdownCase> {};

TEST_P(ProcessShutdown, EndsInOrderWithCodeZero) {
    const ShutdownCase& c = GetParam();
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Starting server...")) << server.Transcript();
    RawClient peer;
    ASSERT_TRUE(peer.Connect()) << server.Transcript();
    ASSERT_TRUE(server.WaitForLine("A connection is incoming.")) << server.Transcript();

    if (c.line) {
        ASSERT_TRUE(server.WriteLine(c.line));
    }
    if (c.signal)
        server.Signal(c.signal);

    ExpectOrderlyEnd(server);
    // The console word prints its line unless the signal's shut-down came first.
    const size_t announced = server.CountLines("Shutting Down server...");
    if (c.line && c.signal) {
        EXPECT_LE(announced, 1u) << server.Transcript();
    } else {
        EXPECT_EQ(announced, c.line ? 1u : 0u) << server.Transcript();
    }
    // The endpoint was closed, not abandoned: the peer hears of it at once.
    EXPECT_TRUE(peer.WaitFor(Net::ID_DISCONNECTION_NOTIFICATION)) << server.Transcript();
}

const ShutdownCase kShutdownCases[] = {
    {"Exit", "exit", 0},
    {"QuitWithBlanks", "  quit\t", 0},
    {"ExitFillingTheWholeLine", "                                                                      "
                                "                                                     exit", 0},
    {"Interrupt", nullptr, SIGINT},
    {"Terminate", nullptr, SIGTERM},
    {"HangUp", nullptr, SIGHUP},
    {"ExitAndSignalsTogether", "exit", SIGINT},
};
static_assert(sizeof("                                                                      "
                     "                                                     exit") - 1 == 127);

INSTANTIATE_TEST_SUITE_P(Ways, ProcessShutdown, testing::ValuesIn(kShutdownCases),
                         [](const testing::TestParamInfo<ShutdownCase>& p) { return p.param.name; });

TEST(Process, ConsoleTakesOnlyExactWordsAndWholeLines) {
    WorkFolder folder;
    folder.UseMainScript(kEmptyScript);
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();

    const std::string b127(127, 'b');
    const std::vector<std::string> input = {
        "Exit",
        " \t  \t",                         // nothing at all
        "QUIT",
        "exit now",
        std::string(127, 'a') + "exit",   // too long: refused whole, never split
        std::string(124, ' ') + "exit",   // 128 characters
        b127,                              // read whole
        "\tquit   ",
    };
    for (const auto& line : input)
        ASSERT_TRUE(server.WriteLine(line));

    const std::vector<std::string> expected = {
        NotFound("Exit"), "",
        NotFound("QUIT"), "",
        NotFound("exit"), "",
        kTooLong,
        kTooLong,
        NotFound(b127), "",
        "Shutting Down server...",
    };
    ExpectOrderlyEnd(server);
    std::vector<std::string> seen;
    while (auto line = server.ReadLine())
        seen.push_back(*line);
    EXPECT_EQ(seen, expected) << server.Transcript();
}

TEST(Process, EndOfConsoleInputKeepsTheServerServingWithoutSpinning) {
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Starting server...")) << server.Transcript();
    server.CloseStdin();
    const std::string ended =
        "The console input has ended; the server keeps running until it is interrupted or terminated.";
    ASSERT_TRUE(server.WaitForLine(ended)) << server.Transcript();

    // The console thread waits instead of retrying the read: it is seen
    // asleep every time it is looked at, and uses (next to) no processor time.
    int asleep = 0;
    long ticks = server.MainThreadCpuTicks();
    const auto end = TavTest::Clock::now() + TavTest::kDefaultDeadline;
    while (asleep < 30 && TavTest::Clock::now() < end) {
        if (server.MainThreadState() != 'S') {
            asleep = 0;
            ticks = server.MainThreadCpuTicks();
        } else {
            ++asleep;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(asleep, 30) << "the console thread keeps running after the end of its input";
    EXPECT_LE(server.MainThreadCpuTicks() - ticks, 2) << "the console thread keeps running after the end of its input";

    RawClient peer;
    ASSERT_TRUE(peer.Connect()) << server.Transcript();
    EXPECT_TRUE(server.WaitForLine("A connection is incoming.")) << server.Transcript();
    server.Signal(SIGTERM);
    ExpectOrderlyEnd(server);
    EXPECT_EQ(server.CountLines(ended), 1u);
}

TEST(Process, SignalDuringStartupNeverActsOnPartsNotStarted) {
    // The signal lands somewhere in construction or start-up: before the
    // server exists it is ignored (and the console word ends the server),
    // after that it waits for start-up and shuts down. Either way the end is
    // orderly.
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Starting server...")) << server.Transcript();
    server.Signal(SIGTERM);
    server.WriteLine("exit");
    ExpectOrderlyEnd(server);
}

TEST(Process, OnlyTheExactArgumentCStartsTheTestClient) {
    for (const char* arg : {"C", "cc", "-c"}) {
        SCOPED_TRACE(arg);
        WorkFolder folder;
        ServerProcess server(folder, {arg});
        auto first = server.ReadLine();
        ASSERT_TRUE(first) << server.Transcript();
        EXPECT_EQ(*first, "Starting server...");
        // Listening means constructed: from then on the signal is honoured.
        ASSERT_TRUE(server.WaitUntilListening()) << server.Transcript();
        server.Signal(SIGINT);
        ExpectOrderlyEnd(server);
    }
}

}  // namespace
