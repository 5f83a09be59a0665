#include "scripting/ServerCommander.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/regex.hpp>

#include "entities/EntityManager.h"
#include "entities/Item.h"
#include "entities/LuaBind.h"
#include "entities/LuaStack.h"
#include "entities/Player.h"
#include "entities/PlayerHandle.h"
#include "entities/ScriptError.h"
#include "scripting/ConnectorHandle.h"
#include "scripting/IScriptServer.h"
#include "scripting/ScriptBindings.h"

namespace Tav {

ServerCommander g_serverCommander;
std::atomic<bool> g_scriptsReady{false};

namespace {

constexpr const char* kDefaultMainScript = "../../assets/lua/Main.lua";
constexpr int kMaxCommandArguments = 5;
// The time-limit hook runs after this many instructions of a script.
constexpr int kHookInstructions = 1000;

// Looks up the global named by the first argument and calls it with the
// remaining arguments, discarding its results. Run in protected mode, so that
// a failing lookup (a global table with a raising metamethod) or a missing
// function becomes an ordinary script error.
int CallGlobal(lua_State* L) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lua_pushvalue(L, 1);
    lua_gettable(L, -2);
    lua_replace(L, 1);
    lua_pop(L, 1);
    lua_call(L, lua_gettop(L) - 1, 0);
    return 0;
}

// Lua places a userdata's payload right after its header, so with plain
// malloc'd blocks the payload is only 8-byte aligned on this platform, while
// luabind builds its objects (16-byte aligned types) in place there. The
// state's allocator therefore shifts every block by the few bytes that put
// payloads on the maximum alignment. The shift is measured once on a
// throw-away state with the auxiliary library's allocator.
size_t MeasureUserdataShift() {
    constexpr size_t kAlign = alignof(std::max_align_t);
    lua_State* probe = luaL_newstate();
    if (!probe) return 0;
    const auto address = reinterpret_cast<uintptr_t>(lua_newuserdata(probe, 1));
    lua_close(probe);
    return (kAlign - address % kAlign) % kAlign;
}

const size_t& UserdataShift() {
    static const size_t shift = MeasureUserdataShift();
    return shift;
}

void* ShiftedAlloc(void*, void* ptr, size_t, size_t newSize) {
    const size_t shift = UserdataShift();
    char* block = ptr ? static_cast<char*>(ptr) - shift : nullptr;
    if (newSize == 0) {
        std::free(block);
        return nullptr;
    }
    char* moved = static_cast<char*>(std::realloc(block, newSize + shift));
    return moved ? moved + shift : nullptr;
}

// As the auxiliary library's panic handler: report the error; Lua then aborts.
int Panic(lua_State* L) {
    const char* message = lua_tostring(L, -1);
    std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n",
                 message ? message : "error object is not a string");
    std::fflush(stderr);
    return 0;
}

void WriteLine(const std::string& text) {
    // One write per line, so that lines from several threads never interleave.
    std::string line = text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// Scripts get the text of a ScriptError as the whole message.
void PushScriptError(lua_State* L, const ScriptError& error) { lua_pushstring(L, error.what()); }

}  // namespace

// One entry into the state, under a deadline (Lua lock held). An entry inside
// another one (a reload from a command) runs under the outer deadline.
class ServerCommander::Bound {
public:
    Bound(ServerCommander& owner, double seconds, const char* what) : owner_(owner), outer_(owner.deadlineSet) {
        if (outer_) return;
        owner.deadlineSet = true;
        owner.deadline = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
        owner.limitSeconds = seconds;
        owner.limitWhat = what;
    }
    ~Bound() {
        if (outer_) return;
        owner_.deadlineSet = false;
        // The hook may have made itself run on every instruction.
        if (owner_.state) lua_sethook(owner_.state, LimitHook, LUA_MASKCOUNT, kHookInstructions);
    }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

private:
    ServerCommander& owner_;
    bool outer_;
};

void ServerCommander::LimitHook(lua_State* L, lua_Debug*) {
    void* ud = nullptr;
    lua_getallocf(L, &ud);
    const ServerCommander& self = *static_cast<const ServerCommander*>(ud);
    const bool stopping = self.interrupted;
    if (stopping || (self.deadlineSet && std::chrono::steady_clock::now() > self.deadline)) {
        // From here on the hook runs on every instruction of this thread, so
        // a script that catches the error meets it again at its next one.
        if (lua_gethookcount(L) != 1) lua_sethook(L, LimitHook, LUA_MASKCOUNT, 1);
        if (stopping) luaL_error(L, "Script stopped: the server is shutting down.");
        luaL_error(L, "Script stopped: %s may run for at most %f s.", self.limitWhat,
                   static_cast<lua_Number>(self.limitSeconds));
    }
    if (lua_gethookcount(L) != kHookInstructions) lua_sethook(L, LimitHook, LUA_MASKCOUNT, kHookInstructions);
}

// ---------------------------------------------------------------- Lua lock

namespace {
// How often a waiter asks whether to give up, at the least.
constexpr std::chrono::milliseconds kGiveUpPoll(20);
}  // namespace

void LuaMutex::lock() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == self) {
        ++depth_;
        return;
    }
    free_.wait(lock, [this] { return depth_ == 0; });
    owner_ = self;
    depth_ = 1;
}

bool LuaMutex::try_lock() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ != self) return false;
    owner_ = self;
    ++depth_;
    return true;
}

void LuaMutex::unlock() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--depth_ > 0) return;
        owner_ = std::thread::id();
    }
    free_.notify_all();
}

bool LuaMutex::LockUnless(Clock::time_point deadline, const std::function<bool()>& giveUp) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == self) {
        ++depth_;
        return true;
    }
    for (;;) {
        if (depth_ == 0) {
            owner_ = self;
            depth_ = 1;
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline || giveUp()) return false;
        // In slices, so that the deadline may lie as far off as it likes.
        free_.wait_until(lock, deadline - now < kGiveUpPoll ? deadline : now + kGiveUpPoll);
    }
}

void LuaMutex::WakeWaiters() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    free_.notify_all();
}

std::thread::id LuaMutex::Owner() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return depth_ > 0 ? owner_ : std::thread::id();
}

// ------------------------------------------------------------ the commander

ServerCommander::ServerCommander() : mainScriptPath(kDefaultMainScript) {}

ServerCommander::~ServerCommander() = default;

std::unique_lock<LuaMutex> ServerCommander::Lock() const { return std::unique_lock<LuaMutex>(luaMutex); }

std::unique_lock<LuaMutex> ServerCommander::LockForEntry(LuaMutex::Clock::time_point deadline) {
    std::unique_lock<LuaMutex> lock(luaMutex, std::defer_lock);
    if (luaMutex.LockUnless(deadline, [this] { return interrupted.load(); }))
        lock = std::unique_lock<LuaMutex>(luaMutex, std::adopt_lock);
    return lock;
}

void ServerCommander::SetMainScriptPath(std::string path) {
    auto lock = Lock();
    mainScriptPath = std::move(path);
}

std::string ServerCommander::GetMainScriptPath() const {
    auto lock = Lock();
    return mainScriptPath;
}

void ServerCommander::InitLua(IScriptServer* server) {
    auto lock = Lock();
    if (state) return;

    state = lua_newstate(ShiftedAlloc, this);
    if (!state) {
        // Out of memory: the server goes on without scripting, and every
        // entry reports that scripting is not available.
        WriteLine("Cannot create the Lua state: out of memory");
        g_scriptsReady = true;
        return;
    }
    lua_State* L = state;
    lua_atpanic(L, Panic);
    // Set before any script runs: coroutines take their hook from the thread
    // that creates them.
    lua_sethook(L, LimitHook, LUA_MASKCOUNT, kHookInstructions);
    static std::once_flag translation;
    std::call_once(translation, [] { luabind::register_exception_handler<ScriptError>(&PushScriptError); });

    // The standard libraries, each also a global, in this order.
    static const luaL_Reg kLibraries[] = {
        {"_G", luaopen_base},
        {LUA_LOADLIBNAME, luaopen_package},
        {LUA_COLIBNAME, luaopen_coroutine},
        {LUA_TABLIBNAME, luaopen_table},
        {LUA_IOLIBNAME, luaopen_io},
        {LUA_OSLIBNAME, luaopen_os},
        {LUA_STRLIBNAME, luaopen_string},
        {LUA_BITLIBNAME, luaopen_bit32},
        {LUA_MATHLIBNAME, luaopen_math},
        {LUA_DBLIBNAME, luaopen_debug},
    };
    for (const luaL_Reg& library : kLibraries) {
        luaL_requiref(L, library.name, library.func, 1);
        lua_pop(L, 1);
    }

    luabind::open(L);
    luabind::module(L)[
        ScriptBindings::RegisterVector3(),
        ScriptBindings::RegisterVector3i(),
        ScriptBindings::RegisterServer(),
        ScriptBindings::RegisterPlayer(),
        ScriptBindings::RegisterItem(),
        ScriptBindings::RegisterEntityManager(),
        ScriptBindings::RegisterServerCommand(),
        ScriptBindings::RegisterServerCommandConnector(),
        ScriptBindings::RegisterServerCommander()
    ];

    {
        luabind::object globals = luabind::globals(L);
        globals["ServerCommander"] = this;
        if (server)
            globals["ServerInstance"] = server;
        else
            globals["ServerInstance"] = luabind::nil;
        globals["EntityManager"] = &g_entityManager;
    }

    ServerCommandConnector startup("", ServerCommand::SecurityLevel0, Net::Guid());
    ReloadLocked(startup);
    WriteLine(startup.GetOutput());
    g_scriptsReady = true;
}

void ServerCommander::Close() {
    auto lock = Lock();
    if (!state) return;
    // Players outlive the state: their items let go of it now.
    for (PlayerRef& player : g_entityManager.CopyPlayers()) player->heldItem.reset();
    ReleaseDeferredItems(state);
    lua_close(state);
    state = nullptr;
}

void ServerCommander::Interrupt() {
    interrupted = true;
    luaMutex.WakeWaiters();  // entries that wait for the lock give up now
}

std::thread::id ServerCommander::AwaitScriptsStopped(LuaMutex::Clock::time_point deadline,
                                                     const std::function<bool()>& giveUp) {
    for (;;) {
        if (luaMutex.LockUnless(deadline, giveUp)) {
            luaMutex.unlock();
            return std::thread::id();
        }
        // The holder may have let go between the last look and now.
        if (const std::thread::id holder = luaMutex.Owner(); holder != std::thread::id()) return holder;
    }
}

void ServerCommander::SetTimeLimits(const ScriptTimeLimits& newLimits) {
    auto lock = Lock();
    limits = newLimits;
    commandWait = newLimits.commandWait;
}

ScriptTimeLimits ServerCommander::GetTimeLimits() const {
    auto lock = Lock();
    return limits;
}

void ServerCommander::ReloadLuaScripts(ServerCommandConnector& connector) {
    auto lock = LockForEntry();
    if (!lock.owns_lock()) {
        connector.Printf("Scripting is not available.");
        return;
    }
    ReloadLocked(connector);
}

void ServerCommander::ReloadLocked(ServerCommandConnector& connector) {
    if (!MayEnter()) {
        connector.Printf("Scripting is not available.");
        return;
    }
    lua_State* L = state;
    Bound bound(*this, limits.command, "the main script");
    LuaStackGuard guard(L);
    int result = luaL_loadfile(L, mainScriptPath.c_str());
    if (result == LUA_OK) result = lua_pcall(L, 0, LUA_MULTRET, 0);
    if (result == LUA_OK)
        connector.Printf("Loaded scripts");
    else
        connector.Printf("%s", LuaErrorText(L, -1).c_str());
}

void ServerCommander::CollectGarbage() {
    if (!g_scriptsReady) return;
    auto lock = LockForEntry();
    if (!lock.owns_lock() || !MayEnter()) return;
    lua_State* L = state;
    ReleaseDeferredItems(L);
    Bound bound(*this, limits.garbageStep, "the garbage step");
    LuaStackGuard guard(L);
    lua_pushcfunction(L, CallGlobal);
    lua_pushliteral(L, "collectgarbage");
    lua_pushliteral(L, "collect");
    if (lua_pcall(L, 2, 0, 0) == LUA_OK) {
        lastGarbageError.clear();
        return;
    }
    // The step runs many times a second: a failure is reported when it first
    // happens and again only when its message changes.
    std::string error = LuaErrorText(L, -1);
    if (error != lastGarbageError) {
        WriteLine("Script garbage collection failed: " + error);
        lastGarbageError = std::move(error);
    }
}

void ServerCommander::UpdateHeldItems(double dt) {
    if (!g_scriptsReady) return;
    auto lock = LockForEntry();
    if (!lock.owns_lock() || !MayEnter()) return;
    ReleaseDeferredItems(state);
    // Handles only: nothing pins a player while its item's script runs.
    std::vector<PlayerHandle> players;
    g_entityManager.ForEachPlayerLocked([&players](const std::vector<Player*>& registered) {
        players.reserve(registered.size());
        for (const Player* player : registered) players.emplace_back(*player);
    });
    for (const PlayerHandle& handle : players) {
        if (!MayEnter()) break;  // a shut-down stopped the step
        // The step's own copy of the item: the player may leave meanwhile.
        std::optional<ItemWrapper> item;
        if (PlayerRef player = handle.Find(); player && player->hasItem && player->heldItem)
            item.emplace(*player->heldItem);
        if (!item) continue;
        Bound bound(*this, limits.itemUpdate, "an item update");
        try {
            item->CallUpdate(dt, &handle);  // false for a collected item: nothing ran
        } catch (const std::exception& e) {
            ReportItemError(e.what());
        }
    }
    itemErrorsBefore = std::move(itemErrorsNow);
    itemErrorsNow.clear();
}

void ServerCommander::ReportItemError(const std::string& message) {
    // The step runs many times a second: a failure that repeats from step to
    // step is reported once, when it first happens.
    const bool known = itemErrorsBefore.count(message) != 0 || itemErrorsNow.count(message) != 0;
    itemErrorsNow.insert(message);
    if (!known) WriteLine("Item update failed: " + message);
}

void ServerCommander::AddServerCommand(const ServerCommand& command) {
    auto lock = Lock();
    commands.push_back(command);
}

void ServerCommander::ClearLuaCommands() {
    auto lock = Lock();
    commands.clear();
}

void ServerCommander::AddAlias(std::string command, std::string alias) {
    auto lock = Lock();
    aliases[std::move(alias)] = std::move(command);
}

void ServerCommander::RemoveAlias(std::string alias) {
    auto lock = Lock();
    aliases.erase(alias);
}

void ServerCommander::ClearAllAliases() {
    auto lock = Lock();
    aliases.clear();
}

std::string ServerCommander::ResolveAlias(std::string name) const {
    auto lock = Lock();
    auto found = aliases.find(name);
    return found == aliases.end() ? name : found->second;
}

void ServerCommander::WriteConsoleMessageLine(std::string text) { WriteLine(text); }

void ServerCommander::ListServerCommands(ServerCommandConnector& connector) const {
    auto lock = Lock();
    connector.Printf("Commands\n");
    connector.Printf("=========================================================================\n");
    for (const ServerCommand& command : commands) {
        connector.Printf("%s[%d] Level%d : %s\n", command.GetName().c_str(), command.GetNumParams(),
                         static_cast<int>(command.GetSecurityLevel()),
                         command.GetDescription().c_str());
    }
}

std::vector<std::string> ServerCommander::Tokenize(const std::string& line) {
    static const boost::regex pattern(R"([^\s"']+|"[^"]*"|'[^']*')", boost::regex::perl);
    std::vector<std::string> tokens;
    for (boost::sregex_iterator match(line.begin(), line.end(), pattern), end; match != end;
         ++match) {
        std::string token = match->str();
        boost::algorithm::trim(token);
        boost::algorithm::trim_if(token, boost::algorithm::is_any_of("\""));
        tokens.push_back(std::move(token));
    }
    return tokens;
}

ServerCommandConnector ServerCommander::Execute(const Net::Guid& sender, const std::string& line) {
    // Tokenised under the lock as well: Boost.Regex shares a cache of
    // matcher memory between threads inside its compiled library, where the
    // thread sanitizer cannot follow it.
    const double wait = commandWait.load();
    auto lock = LockForEntry(LuaMutex::Clock::now() +
                             std::chrono::duration_cast<LuaMutex::Clock::duration>(std::chrono::duration<double>(wait)));
    if (!lock.owns_lock()) {
        ServerCommandConnector refused("", ServerCommand::SecurityLevel0, sender);
        if (interrupted)
            refused.Printf("Scripting is not available.\n");
        else
            refused.Printf("The command was not run: the scripts have been busy for more than %g s.\n", wait);
        return refused;
    }
    std::vector<std::string> tokens = Tokenize(line);
    if (tokens.empty()) return ServerCommandConnector("", ServerCommand::SecurityLevel0, sender);

    tokens[0] = ResolveAlias(tokens[0]);
    ServerCommandConnector connector(tokens[0], ServerCommand::SecurityLevel0, sender);
    if (!MayEnter()) {
        connector.Printf("Scripting is not available.\n");
        return connector;
    }

    const ServerCommand* command = nullptr;
    for (const ServerCommand& declared : commands) {
        if (declared.GetName() == tokens[0]) {
            command = &declared;
            break;
        }
    }
    if (!command) {
        connector.Printf("Command '%s' not found.\n", tokens[0].c_str());
        return connector;
    }
    const int argumentCount = static_cast<int>(tokens.size()) - 1;
    if (argumentCount != command->GetNumParams()) {
        connector.Printf("Wrong number of arguments %d for %s[%d]\n%s\n", argumentCount,
                         command->GetName().c_str(), command->GetNumParams(),
                         command->GetDescription().c_str());
        return connector;
    }
    if (argumentCount > kMaxCommandArguments) {
        connector.Printf("Command '%s' takes %d arguments; at most %d can be passed.\n",
                         command->GetName().c_str(), argumentCount, kMaxCommandArguments);
        return connector;
    }
    // The script may change the registry while it runs; nothing below reads
    // the declaration again.
    command = nullptr;

    lua_State* L = state;
    Bound bound(*this, limits.command, "a command");
    LuaStackGuard guard(L);
    // The script gets a handle of this run, which ends with it: a handle
    // that the script keeps refuses to act from then on.
    const ConnectorRun run(connector);
    lua_pushcfunction(L, CallGlobal);
    lua_pushlstring(L, tokens[0].data(), tokens[0].size());
    luabind::object(L, run.Handle()).push(L);
    for (size_t i = 1; i < tokens.size(); ++i) lua_pushlstring(L, tokens[i].data(), tokens[i].size());
    if (lua_pcall(L, argumentCount + 2, 0, 0) != LUA_OK)
        connector.Printf("%s\n", LuaErrorText(L, -1).c_str());
    return connector;
}

}  // namespace Tav
