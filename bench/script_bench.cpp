// The costs that the script layer adds: a script that only computes, run as a
// command (with its time-limit hook), against a bare Lua state without any
// hook and with a count hook that does nothing; a command's dispatch; and the
// chunk worker's held-item step for a number of players.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "entities/EntityManager.h"
#include "entities/LuaBind.h"
#include "entities/Player.h"
#include "scripting/ServerCommander.h"

namespace {

using namespace Tav;

constexpr const char* kLoop = "local s = 0 for i = 1, 1000000 do s = s + i % 7 end return s";

const char* kScript = R"lua(
ServerCommander:AddServerCommand(ServerCommand("loop", "Computes", 0, ServerCommand.SecurityLevel0))
function loop(c) local s = 0 for i = 1, 1000000 do s = s + i % 7 end end
ServerCommander:AddServerCommand(ServerCommand("say", "Says", 1, ServerCommand.SecurityLevel0))
function say(c, text) c:Print(text) end

class 'Counter' (Item)
function Counter:__init() Item.__init(self) self.steps = 0 end
function Counter:Update(dt, player) self.steps = self.steps + 1 end
counters = {}
function giveAll()
    for p in EntityManager.Players do local c = Counter() counters[#counters + 1] = c p:SetItem(c) end
end
)lua";

// A script host on a main script of its own in a temporary folder.
class Host {
public:
    Host() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tav-bench-XXXXXX").string();
        folder_ = mkdtemp(pattern.data());
        std::ofstream(folder_ / "Main.lua") << kScript;
        commander.SetMainScriptPath((folder_ / "Main.lua").string());
        commander.InitLua(nullptr);
    }
    ~Host() {
        commander.Close();
        std::filesystem::remove_all(folder_);
    }
    void Eval(const char* chunk) {
        auto lock = commander.Lock();
        luaL_dostring(commander.GetLuaState(), chunk);
        lua_settop(commander.GetLuaState(), 0);
    }
    ServerCommander commander;

private:
    std::filesystem::path folder_;
};

void BM_LoopInBareState(benchmark::State& state) {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    for (auto _ : state) {
        luaL_dostring(L, kLoop);
        lua_settop(L, 0);
    }
    lua_close(L);
}
BENCHMARK(BM_LoopInBareState)->Unit(benchmark::kMillisecond);

// The same with a count hook that does nothing: what any count hook costs.
void BM_LoopInBareStateWithCountHook(benchmark::State& state) {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    lua_sethook(L, [](lua_State*, lua_Debug*) {}, LUA_MASKCOUNT, 1000);
    for (auto _ : state) {
        luaL_dostring(L, kLoop);
        lua_settop(L, 0);
    }
    lua_close(L);
}
BENCHMARK(BM_LoopInBareStateWithCountHook)->Unit(benchmark::kMillisecond);

void BM_LoopAsCommand(benchmark::State& state) {
    Host host;
    for (auto _ : state) benchmark::DoNotOptimize(host.commander.Execute(Net::Guid(1), "loop"));
}
BENCHMARK(BM_LoopAsCommand)->Unit(benchmark::kMillisecond);

void BM_CommandDispatch(benchmark::State& state) {
    Host host;
    for (auto _ : state) benchmark::DoNotOptimize(host.commander.Execute(Net::Guid(1), "say \"hello there\""));
}
BENCHMARK(BM_CommandDispatch)->Unit(benchmark::kMicrosecond);

void BM_HeldItemStep(benchmark::State& state) {
    Host host;
    std::vector<Player*> players;
    for (int64_t i = 0; i < state.range(0); ++i)
        players.push_back(static_cast<Player*>(
            g_entityManager.Spawn("Player", Net::Guid(static_cast<uint64_t>(i + 1)), nullptr, Vector3())));
    host.Eval("giveAll()");
    for (auto _ : state) host.commander.UpdateHeldItems(0.016);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    host.commander.Close();
    for (Player* player : players) g_entityManager.DeletePlayer(player);
}
BENCHMARK(BM_HeldItemStep)->Arg(1)->Arg(16)->Arg(128)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
