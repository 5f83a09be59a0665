// The script layer as users meet it: the real binary with its main script,
// commands typed on the console and commands that clients send.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <signal.h>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "e2e/ReplicaClient.h"

namespace {

using ::testing::HasSubstr;
using TavTest::Clock;
using TavTest::ServerCommand;
using TavTest::Process;
using TavTest::RawClient;
using TavTest::ReplicaClient;
using TavTest::SeenEntity;
using TavTest::ServerProcess;
using TavTest::WorkFolder;
using namespace std::chrono_literals;

// Takes lines until one holds part; the line, or nothing by the deadline.
std::optional<std::string> WaitForLineWith(Process& process, const std::string& part) {
    const auto end = Clock::now() + TavTest::kDefaultDeadline;
    while (Clock::now() < end) {
        auto line = process.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        if (!line)
            return std::nullopt;
        if (line->find(part) != std::string::npos)
            return line;
    }
    return std::nullopt;
}

// Runs a console line and returns the lines that it printed: everything up
// to the answer of an echo written right after it. Needs the shipped script.
std::vector<std::string> Ask(ServerProcess& server, const std::string& line) {
    static int asked = 0;
    const std::string marker = "end-of-answer-" + std::to_string(++asked);
    std::vector<std::string> answer;
    if (!server.WriteLine(line) || !server.WriteLine("echo " + marker))
        return {"<the console no longer reads>"};
    while (auto next = server.ReadLine()) {
        if (*next == marker)
            return answer;
        answer.push_back(*next);
    }
    answer.push_back("<no end of answer>");
    return answer;
}

void ExpectOrderlyEnd(ServerProcess& server) {
    EXPECT_EQ(server.WaitExit(), 0) << server.Transcript();
    EXPECT_EQ(server.SanitizerReport(), "");
}

TEST(Scripting, ConsoleRunsTheShippedCommands) {
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();

    const std::vector<std::string> listing = Ask(server, "help");
    ASSERT_GE(listing.size(), 3u) << server.Transcript();
    EXPECT_EQ(listing[0], "Commands");
    EXPECT_EQ(listing[1], std::string(73, '='));
    EXPECT_THAT(listing, testing::Contains("help[0] Level0 : Lists the server commands"));
    EXPECT_THAT(listing, testing::Contains("announce[1] Level0 : Shows a message on the server's console"));
    EXPECT_EQ(listing.back(), "");  // the listing's own line end, then the console's
    EXPECT_EQ(Ask(server, "?"), listing);
    EXPECT_EQ(Ask(server, "commands"), listing);

    struct Case {
        const char* line;
        std::vector<std::string> answer;
    };
    const Case cases[] = {
        {"echo one two", {"Wrong number of arguments 2 for echo[1]", "Prints its argument back", ""}},
        {"help me", {"Wrong number of arguments 1 for help[0]", "Lists the server commands", ""}},
        {"nosuch 1 2", {"Command 'nosuch' not found.", ""}},
        {"Help", {"Command 'Help' not found.", ""}},
        {"say \"hello  world\"", {"hello  world"}},
        {"add 40 2", {"42"}},
        {"announce \"from the console\"", {"Announcement: from the console", "Announced"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ask(server, c.line), c.answer) << c.line;

    ASSERT_TRUE(server.WriteLine("exit"));
    ExpectOrderlyEnd(server);
}

TEST(Scripting, BrokenMainScriptIsReportedAndTheServerKeepsServing) {
    WorkFolder folder;
    folder.UseMainScript("ServerCommander:ClearLuaCommands(\nthis is not lua\n");
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Starting server...")) << server.Transcript();
    const auto error = WaitForLineWith(server, "Main.lua:");
    ASSERT_TRUE(error) << server.Transcript();
    EXPECT_THAT(*error, HasSubstr("near"));

    // Commands from a client reach a dispatcher without commands; nothing shows.
    RawClient client;
    ASSERT_TRUE(client.Connect()) << server.Transcript();
    ASSERT_TRUE(client.Send(ServerCommand("help")));
    ASSERT_TRUE(server.WaitForLine("A connection is incoming.")) << server.Transcript();

    ASSERT_TRUE(server.WriteLine("help"));
    ASSERT_TRUE(server.WriteLine("reload"));
    EXPECT_TRUE(server.WaitForLine("Command 'help' not found.")) << server.Transcript();
    EXPECT_TRUE(server.WaitForLine("Command 'reload' not found.")) << server.Transcript();
    ASSERT_TRUE(server.WriteLine("exit"));
    ExpectOrderlyEnd(server);
    EXPECT_EQ(server.CountLines("Loaded scripts"), 0u) << server.Transcript();
    EXPECT_EQ(server.CountLines("Command 'help' not found."), 1u) << server.Transcript();
}

TEST(Scripting, ReloadFromTheConsoleTakesTheChangedScript) {
    const auto version = [](const std::string& name) {
        return "ServerCommander:ClearLuaCommands()\n"
               "ServerCommander:ClearAllAliases()\n"
               "ServerCommander:AddServerCommand(ServerCommand('reload', 'Reloads', 0, ServerCommand.SecurityLevel0))\n"
               "function reload(c) ServerCommander:ReloadLuaScripts(c) end\n"
               "ServerCommander:AddServerCommand(ServerCommand('" + name + "', 'A version', 0, ServerCommand.SecurityLevel0))\n"
               "function " + name + "(c) c:Print('" + name + " here') end\n"
               "ServerCommander:AddAlias('" + name + "', '" + name.substr(0, 1) + "')\n";
    };
    WorkFolder folder;
    folder.UseMainScript(version("first"));
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    ASSERT_TRUE(server.WriteLine("f"));
    ASSERT_TRUE(server.WaitForLine("first here")) << server.Transcript();

    folder.UseMainScript(version("second"));
    for (const char* line : {"reload", "first", "f", "second", "s", "exit"})
        ASSERT_TRUE(server.WriteLine(line));
    ExpectOrderlyEnd(server);
    std::vector<std::string> seen;
    while (auto line = server.ReadLine(1s))
        seen.push_back(*line);
    const std::vector<std::string> expected = {
        "Loaded scripts",
        "Command 'first' not found.", "",
        "Command 'f' not found.", "",
        "second here",
        "second here",
        "Shutting Down server...",
    };
    EXPECT_EQ(seen, expected) << server.Transcript();
}

TEST(Scripting, RemoteCommandsRunButNothingComesBack) {
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    RawClient client;
    ASSERT_TRUE(client.Connect()) << server.Transcript();
    ASSERT_TRUE(client.WaitFor(Tav::ID_PLAYER_SPAWNED)) << server.Transcript();
    client.Drain();
    const size_t before = client.All().size();

    const std::string outputs[] = {"remote-echo-output", "Announced", "Commands", "not found"};
    for (const std::string& text : {std::string("echo remote-echo-output"), std::string("help"),
                                    std::string("nosuch"), std::string("exit"),
                                    std::string("announce \"from afar\""), std::string("announce cut\0tail", 17)})
        ASSERT_TRUE(client.Send(ServerCommand(text)));

    // In the order sent: once the last has run, all have.
    ASSERT_TRUE(server.WaitForLine("Announcement: from afar")) << server.Transcript();
    ASSERT_TRUE(server.WaitForLine("Announcement: cut")) << server.Transcript();
    // A short while for anything that the commands might have sent back.
    const auto end = Clock::now() + 300ms;
    while (Clock::now() < end) {
        client.Drain();
        std::this_thread::sleep_for(5ms);
    }
    for (size_t i = before; i < client.All().size(); ++i) {
        const auto& data = client.All()[i].data;
        const unsigned id = data[0];
        const bool replication = id >= Net::ID_REPLICA_FIRST && id <= Net::ID_REPLICA_LAST;
        EXPECT_TRUE(replication || id == Tav::ID_PLAYER_SPAWNED || id == Tav::ID_CHUNK_DATA)
            << "unexpected packet " << id << " after the commands";
        const std::string bytes(data.begin(), data.end());
        for (const std::string& text : outputs)
            EXPECT_EQ(bytes.find(text), std::string::npos) << "packet " << id << " carries " << text;
    }

    // "exit" from a client was only a command: the server still serves.
    EXPECT_EQ(Ask(server, "echo still-here"), std::vector<std::string>{"still-here"});
    ASSERT_TRUE(server.WriteLine("exit"));
    ExpectOrderlyEnd(server);
    for (const std::string& text : outputs)
        for (const std::string& line : server.Lines())
            EXPECT_EQ(line.find(text), std::string::npos) << "the console shows \"" << line << "\"";
    EXPECT_EQ(server.CountLines("Shutting Down server..."), 1u) << server.Transcript();
}

TEST(Scripting, ConsoleAndClientCommandsTogetherStayServed) {
    // The console, the network thread (a flood of commands, reloads among
    // them) and the chunk worker (its garbage step, and the chunks that the
    // client asks for) all enter the script state at once.
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    RawClient client;
    ASSERT_TRUE(client.Connect()) << server.Transcript();
    ASSERT_TRUE(client.WaitFor(Tav::ID_PLAYER_SPAWNED)) << server.Transcript();

    constexpr int kFlood = 400;
    constexpr int kConsoleEvery = 8;
    const char* const remote[] = {"echo x", "help", "reload", "add 1 2", "nosuch", "announce flood"};
    std::vector<std::string> consoleAnswers;
    for (int i = 0; i < kFlood; ++i) {
        ASSERT_TRUE(client.Send(ServerCommand(remote[i % std::size(remote)])));
        if (i % 50 == 0) {
            Net::BitStream request;
            request.Write(static_cast<uint8_t>(Tav::ID_REQUEST_CHUNKS));
            request.Write(int32_t{1});
            request.Write(int32_t{i / 50});
            request.Write(int32_t{0});
            request.Write(int32_t{0});
            ASSERT_TRUE(client.Send(request));
        }
        if (i % kConsoleEvery == 0) {
            const std::string word = "console-" + std::to_string(i);
            ASSERT_TRUE(server.WriteLine(i % (4 * kConsoleEvery) == 0 ? "reload" : "say " + word));
            consoleAnswers.push_back(i % (4 * kConsoleEvery) == 0 ? "Loaded scripts" : word);
        }
        if (i % 100 == 99) {
            // Paced by the server: the flood spans many of the worker's rounds.
            const std::string batch = "batch-" + std::to_string(i);
            ASSERT_TRUE(client.Send(ServerCommand("announce " + batch)));
            ASSERT_TRUE(server.WaitForLine("Announcement: " + batch)) << server.Transcript();
        }
        client.Drain();
    }
    ASSERT_TRUE(client.Send(ServerCommand("announce flood-done")));
    ASSERT_TRUE(server.WaitForLine("Announcement: flood-done")) << server.Transcript();

    // Every console line got its own answer, whole, whatever ran beside it.
    // (The console may still be behind the flood: answers that come after
    // the last announcement arrive before this one's.)
    const std::vector<std::string> last = Ask(server, "echo alive");
    ASSERT_FALSE(last.empty()) << server.Transcript();
    EXPECT_EQ(last.back(), "alive");
    std::vector<std::string> answers;
    for (const std::string& line : server.Lines())
        if (line.rfind("console-", 0) == 0 || line == "Loaded scripts")
            answers.push_back(line);
    consoleAnswers.insert(consoleAnswers.begin(), "Loaded scripts");  // the start-up's
    EXPECT_EQ(answers, consoleAnswers);
    EXPECT_EQ(server.CountLines("Announcement: flood"), kFlood / std::size(remote));

    // A shut-down while commands are still arriving and queued.
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(client.Send(ServerCommand(remote[i % std::size(remote)])));
    ASSERT_TRUE(server.WriteLine("exit"));
    ExpectOrderlyEnd(server);
}

// Connects and waits until the client has its own player and the notice.
bool Join(ReplicaClient& client) {
    return client.Connect() && client.Pump([&] {
        const SeenEntity* own = client.Own();
        return own && client.CountOf(Tav::ID_PLAYER_SPAWNED) > 0;
    });
}

TEST(Scripting, AClientsBoxFallsAboveTheFirstPlayerForEveryClient) {
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    ReplicaClient first;
    ASSERT_TRUE(Join(first)) << server.Transcript();
    ReplicaClient second;
    ASSERT_TRUE(Join(second)) << server.Transcript();

    // (The answer comes after the lines of the two connections.)
    const std::vector<std::string> listed = Ask(server, "players");
    ASSERT_FALSE(listed.empty()) << server.Transcript();
    EXPECT_EQ(listed.back().rfind("2 player(s): ", 0), 0u) << listed.back();

    // The second client asks; the box falls above the first player.
    ASSERT_TRUE(second.Send(ServerCommand("box")));
    for (ReplicaClient* client : {&first, &second}) {
        ASSERT_TRUE(client->Pump([&] { return client->FirstOfType("PhysicsEntity") != nullptr; }))
            << server.Transcript();
        const SeenEntity* box = client->FirstOfType("PhysicsEntity");
        const Tav::Vector3& at = box->constructed.motion.position;
        const Tav::Vector3& owner = first.Own()->Latest().motion.position;
        EXPECT_EQ(at.x, owner.x);
        EXPECT_EQ(at.z, owner.z);
        EXPECT_LE(at.y, 30.0);
        EXPECT_GT(at.y, 20.0);  // it has only just begun to fall
    }
    EXPECT_EQ(Ask(server, "box"), std::vector<std::string>{"Box 2 of 64 dropped"});
    ASSERT_TRUE(server.WriteLine("exit"));
    ExpectOrderlyEnd(server);
}

// A main script with commands that never end, on the console and from clients.
const char* kSpinningScript = R"lua(
ServerCommander:ClearLuaCommands()
local function command(name, run)
    ServerCommander:AddServerCommand(ServerCommand(name, name, 0, ServerCommand.SecurityLevel0))
    _G[name] = run
end
command("spin", function(c)
    ServerCommander:WriteConsoleMessageLine("spinning")
    while true do pcall(function() while true do end end) end
end)
command("echo", function(c) c:Print("still serving") end)
)lua";

TEST(Scripting, AnInterruptStopsACommandThatNeverEnds) {
    struct Case {
        const char* what;
        bool fromClient;
        int signal;
    };
    for (const Case& c : {Case{"console, SIGINT", false, SIGINT}, Case{"client, SIGTERM", true, SIGTERM}}) {
        WorkFolder folder;
        folder.UseMainScript(kSpinningScript);
        ServerProcess server(folder);
        ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
        RawClient client;
        if (c.fromClient) {
            ASSERT_TRUE(client.Connect()) << server.Transcript();
            ASSERT_TRUE(client.Send(ServerCommand("spin")));
        } else {
            ASSERT_TRUE(server.WriteLine("spin"));
        }
        ASSERT_TRUE(server.WaitForLine("spinning")) << c.what << server.Transcript();
        server.Signal(c.signal);
        // Before the command's own limit of 5 s would have stopped it.
        EXPECT_EQ(server.WaitExit(4s), 0) << c.what << server.Transcript();
        EXPECT_EQ(server.SanitizerReport(), "") << c.what;
        if (!c.fromClient) {
            EXPECT_EQ(server.CountLines("Script stopped: the server is shutting down."), 1u)
                << c.what << server.Transcript();
        }
    }
}

TEST(Scripting, AClientsCommandThatNeverEndsHoldsTheServerOnlyForTheCommandLimit) {
    WorkFolder folder;
    folder.UseMainScript(kSpinningScript);
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    RawClient client;
    ASSERT_TRUE(client.Connect()) << server.Transcript();
    ASSERT_TRUE(client.WaitFor(Tav::ID_PLAYER_SPAWNED)) << server.Transcript();
    ASSERT_TRUE(client.Send(ServerCommand("spin")));
    ASSERT_TRUE(server.WaitForLine("spinning")) << server.Transcript();
    // The console waits for the Lua state until the limit stops the spin.
    ASSERT_TRUE(server.WriteLine("echo"));
    EXPECT_TRUE(server.WaitForLine("still serving")) << server.Transcript();
    // The network thread serves again: chunks come.
    while (client.WaitFor(Tav::ID_CHUNK_DATA, 0ms)) {
    }
    ASSERT_TRUE(client.Send(TavTest::ChunkRequest({Tav::Vector3i(0, 0, 0)})));
    EXPECT_TRUE(client.WaitFor(Tav::ID_CHUNK_DATA)) << server.Transcript();
    ASSERT_TRUE(server.WriteLine("exit"));
    ExpectOrderlyEnd(server);
}

// A main script that keeps a command's connector and uses it later: from
// later commands (the console's and a client's) and from the items that
// players hold.
const char* kKeepingScript = R"lua(
ServerCommander:ClearLuaCommands()
local function command(name, numParams, run)
    ServerCommander:AddServerCommand(ServerCommand(name, name, numParams, ServerCommand.SecurityLevel0))
    _G[name] = run
end
local function tell(c, ok, message)
    c:Print(tostring(ok) .. ": " .. tostring(message))
end
command("keep", 0, function(c) kept = c; c:Print("kept by " .. c:GetCommand()) end)
command("use", 0, function(c) tell(c, pcall(function() kept:Print("[written through the kept one]") end)) end)
command("undo", 0, function(c) tell(c, pcall(ServerInstance.UndoImportLXFML, ServerInstance, kept)) end)
command("remote", 0, function(c)
    local ok, message = pcall(function() return kept:GetGUID() end)
    ServerCommander:WriteConsoleMessageLine("remote: " .. tostring(ok) .. ": " .. tostring(message))
end)
class 'Keeper' (Item)
function Keeper:__init() Item.__init(self) end
function Keeper:Update(dt, p) kept:Print("[from an item]") end
keepers = {}
command("arm", 0, function(c)
    for p in EntityManager.Players do
        local k = Keeper()
        keepers[#keepers + 1] = k
        p:SetItem(k)
    end
    c:Print(#keepers .. " armed")
end)
command("echo", 1, function(c, text) c:Print(text) end)
)lua";

TEST(Scripting, AConnectorKeptAfterItsCommandIsRefusedAndTheServerStaysUp) {
    const std::string ended =
        "false: The command of this connector has ended: a connector can be used only while its command runs.";
    WorkFolder folder;
    folder.UseMainScript(kKeepingScript);
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    EXPECT_EQ(Ask(server, "keep"), std::vector<std::string>{"kept by keep"});
    EXPECT_EQ(Ask(server, "use"), std::vector<std::string>{ended});
    EXPECT_EQ(Ask(server, "undo"), std::vector<std::string>{ended});

    RawClient client;
    ASSERT_TRUE(client.Connect()) << server.Transcript();
    ASSERT_TRUE(client.WaitFor(Tav::ID_PLAYER_SPAWNED)) << server.Transcript();
    ASSERT_TRUE(client.Send(ServerCommand("remote")));
    EXPECT_TRUE(server.WaitForLine("remote: " + ended)) << server.Transcript();

    // The chunk worker runs the item on every step: one report, and the
    // server goes on serving.
    // (Its report may come before or after the command's answer.)
    const std::string itemFailed =
        "Item update failed: The command of this connector has ended: a connector can be used only while its "
        "command runs.";
    ASSERT_TRUE(server.WriteLine("arm"));
    EXPECT_TRUE(server.WaitForLine("1 armed")) << server.Transcript();
    EXPECT_TRUE(server.WaitForLineCount(itemFailed, 1)) << server.Transcript();
    while (client.WaitFor(Tav::ID_CHUNK_DATA, 0ms)) {
    }
    ASSERT_TRUE(client.Send(TavTest::ChunkRequest({Tav::Vector3i(0, 0, 0)})));
    EXPECT_TRUE(client.WaitFor(Tav::ID_CHUNK_DATA)) << server.Transcript();
    for (const char* line : {"echo alive", "use", "exit"}) ASSERT_TRUE(server.WriteLine(line));
    EXPECT_TRUE(server.WaitForLine("alive")) << server.Transcript();
    EXPECT_TRUE(server.WaitForLine(ended)) << server.Transcript();
    ExpectOrderlyEnd(server);
    EXPECT_EQ(server.CountLines(itemFailed), 1u) << server.Transcript();
    for (const std::string& line : server.Lines())
        EXPECT_EQ(line.find("[written through the kept one]"), std::string::npos) << line;
}

}  // namespace
