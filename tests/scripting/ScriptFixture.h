#pragma once
// A script host of its own for each test, with its main script written to a
// temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "entities/EntityManager.h"
#include "entities/LuaBind.h"
#include "entities/Player.h"
#include "scripting/ServerCommander.h"

namespace Tav::Testing {

inline std::filesystem::path MakeTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tav-script-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A command declaration in the test scripts: name, parameter count,
// description and level.
inline const char* kDeclareHelper = R"lua(
function declare(name, numParams, description, level)
    ServerCommander:AddServerCommand(ServerCommand(name, description, numParams,
                                                   level or ServerCommand.SecurityLevel0))
end
)lua";

// Players in the process's registry for the length of a test, as the
// server spawns them (no endpoint). Net::Guid(n).ToUint32() is n for n below
// 2^32, so scripts see player n as the number n.
class RegisteredPlayers {
public:
    RegisteredPlayers() = default;
    RegisteredPlayers(const RegisteredPlayers&) = delete;
    RegisteredPlayers& operator=(const RegisteredPlayers&) = delete;
    ~RegisteredPlayers() {
        for (Player* player : players_) g_entityManager.DeletePlayer(player);
    }

    Player* Add(uint64_t guid) {
        auto* player = static_cast<Player*>(g_entityManager.Spawn("Player", Net::Guid(guid), nullptr, Vector3()));
        players_.push_back(player);
        return player;
    }
    // Deleted as the network thread deletes a player that has gone.
    void Remove(Player* player) {
        players_.erase(std::remove(players_.begin(), players_.end(), player), players_.end());
        g_entityManager.DeletePlayer(player);
    }

private:
    std::vector<Player*> players_;
};

class ScriptFixture : public ::testing::Test {
protected:
    void SetUp() override {
        folder = MakeTempFolder();
        scriptPath = folder / "Main.lua";
        commander.SetMainScriptPath(scriptPath.string());
    }

    void TearDown() override {
        commander.Close();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    void WriteScript(const std::string& body) {
        WriteFile(scriptPath, std::string(kDeclareHelper) + body);
    }

    // Writes the main script, starts the host and returns what it printed.
    std::string Start(const std::string& body, IScriptServer* server = nullptr) {
        WriteScript(body);
        ::testing::internal::CaptureStdout();
        commander.InitLua(server);
        return ::testing::internal::GetCapturedStdout();
    }

    std::string Run(const std::string& line, Net::Guid sender = Net::Guid(42)) {
        return commander.Execute(sender, line).GetOutput();
    }

    // Runs a chunk of Lua in the host's state, as a command would (but
    // without a time limit), and gives its first result as text: nil,
    // booleans, numbers and strings as Lua writes them, other values by
    // their type in angle brackets; or "error: " and the error's message.
    std::string Eval(const std::string& chunk) {
        auto lock = commander.Lock();
        lua_State* L = commander.GetLuaState();
        const int top = lua_gettop(L);
        std::string result;
        if (luaL_loadstring(L, chunk.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
            const char* message = lua_tostring(L, -1);
            result = std::string("error: ") + (message ? message : "(not a text)");
        } else if (lua_isnil(L, -1)) {
            result = "nil";
        } else if (lua_isboolean(L, -1)) {
            result = lua_toboolean(L, -1) ? "true" : "false";
        } else if (lua_type(L, -1) == LUA_TNUMBER || lua_type(L, -1) == LUA_TSTRING) {
            result = lua_tostring(L, -1);
        } else {
            result = std::string("<") + luaL_typename(L, -1) + ">";
        }
        lua_settop(L, top);
        return result;
    }

    std::filesystem::path folder;
    std::filesystem::path scriptPath;
    ServerCommander commander;
};

}  // namespace Tav::Testing
