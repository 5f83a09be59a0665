#pragma once
// The server's script host: the one Lua state of the process, the main
// script, and the registry of server commands and aliases that the script
// declares.
//
// Locking. One recursive lock, the Lua lock (LuaMutex), serialises every
// entry into the Lua state and every access to the command registry:
// InitLua, ReloadLuaScripts, Execute, CollectGarbage, UpdateHeldItems, Close
// and the registry operations take it themselves, and any other code that
// calls into the state holds Lock() around the call. It also guards what
// players hold of scripts (Player::heldItem, Player::hasItem). It is
// recursive, so scripts may call back into the commander (a reload from
// inside a command, AddServerCommand from the main script). The Lua lock is
// always the first lock taken: no code may take it while it holds the
// octree, registry, physics, replica-manager or scratch-buffer locks, since
// scripts call into code that takes those.
//
// Waiting for the Lua lock. A command line waits for it at most
// ScriptTimeLimits::commandWait and is then answered that it was not run;
// the chunk worker's steps wait as long as it takes. Once Interrupt has been
// called no entry waits any more: one that is waiting gives up at once. So a
// script that never ends (see below) holds up only its own thread, and the
// shut-down learns which thread that is (AwaitScriptsStopped).
//
// Time limits. Every entry into the state runs under a deadline: a command
// (with what it calls, a reload included) and the main script's run for a
// few seconds, an item update and the garbage step for a small part of one.
// A script still running at its deadline is stopped with a script error that
// names the limit; a shut-down stops running scripts at once (Interrupt).
// A hook that the state runs every thousand instructions checks both, so
// scripts pay next to nothing for it. What no hook can reach is not bounded:
// a long call of a C function (a huge string.rep), and code that Lua runs
// with hooks off: finalisers (__gc) and the message handler of an xpcall
// that the limit's own error started.
//
// Life cycle: the program's start-up calls InitLua once, after the server has
// started; the console and the network thread call Execute; the chunk worker
// calls CollectGarbage and UpdateHeldItems on every iteration; the shut-down
// calls Interrupt first and Close after it has joined every thread that
// enters the state. After Interrupt or Close every entry is a harmless
// no-op: Execute answers "Scripting is not available.\n", CollectGarbage
// and UpdateHeldItems do nothing.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/Types.h"
#include "scripting/ServerCommand.h"

struct lua_State;
struct lua_Debug;

namespace Tav {

class IScriptServer;

// How long one entry into the Lua state may run, in seconds.
struct ScriptTimeLimits {
    double command = 5.0;       // a command line, and the main script's run
    double itemUpdate = 0.05;   // one held item's "Update"
    double garbageStep = 0.05;  // the chunk worker's garbage step
    // How long a command line waits for the Lua state while another entry
    // holds it: long enough for a command that runs to its limit.
    double commandWait = 10.0;
};

// The Lua lock: a recursive lock that knows the thread holding it, and whose
// waits can be given up. Built on a plain mutex and a condition variable, so
// that every tool that follows the standard locks follows it too.
class LuaMutex {
public:
    using Clock = std::chrono::steady_clock;

    void lock();
    bool try_lock();
    void unlock();
    // Waits until the lock is had (true), the deadline has passed or giveUp()
    // holds (false). giveUp is asked under the lock's own mutex, at least
    // every few tens of milliseconds and after every WakeWaiters.
    bool LockUnless(Clock::time_point deadline, const std::function<bool()>& giveUp);
    // Lets every waiter ask its giveUp again.
    void WakeWaiters();
    // The thread that holds the lock; no thread when it is free.
    std::thread::id Owner() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable free_;
    std::thread::id owner_;
    unsigned depth_ = 0;
};

class ServerCommander {
public:
    ServerCommander();
    // Releases the registry only; the Lua state is closed by Close().
    ~ServerCommander();
    ServerCommander(const ServerCommander&) = delete;
    ServerCommander& operator=(const ServerCommander&) = delete;

    // Creates the Lua state with the standard libraries and the script
    // interface, sets the globals "ServerCommander" (this commander),
    // "ServerInstance" (server; nil when null) and "EntityManager", runs the
    // main script, prints "Loaded scripts" or the script's error and a line
    // end to standard output, and sets g_scriptsReady whatever the script
    // did. Does nothing when a state exists already.
    void InitLua(IScriptServer* server);

    // Closes the Lua state and forgets it. The items that registered
    // players hold let go of it first (a player that holds an item must be
    // registered or deleted by now). Call only after every thread that
    // enters the state has been joined; calling it again is harmless.
    void Close();

    // Stops every script that runs now at its next hook, makes every later
    // entry a no-op and every entry that waits for the Lua lock give up. For
    // the shut-down; any thread, never waits.
    void Interrupt();

    // For the shut-down, after Interrupt: waits until no script runs (the
    // Lua lock is free), until the deadline or until giveUp() holds. Returns
    // the thread that still holds the Lua state then, or no thread when it
    // came free. A thread that holds it after Interrupt runs what no time
    // limit stops (a finaliser, a long call of a C function) and may never
    // come back.
    std::thread::id AwaitScriptsStopped(LuaMutex::Clock::time_point deadline, const std::function<bool()>& giveUp);

    void SetTimeLimits(const ScriptTimeLimits& limits);
    ScriptTimeLimits GetTimeLimits() const;

    // The main script, relative to the working directory unless absolute.
    // Default "../../assets/lua/Main.lua".
    void SetMainScriptPath(std::string path);
    std::string GetMainScriptPath() const;

    // Runs the main script again in the same state and appends
    // "Loaded scripts" or the error to the connector.
    void ReloadLuaScripts(ServerCommandConnector& connector);

    // A full garbage collection through the script's global
    // "collectgarbage", once scripting is ready and while a state exists. A
    // failing call (a script replaced "collectgarbage") never escapes: it is
    // reported on standard output, once for each run of the same message.
    void CollectGarbage();

    // The held-item step of the chunk worker: for each registered player, in
    // registration order, that holds an item whose script object is still
    // alive, the object's "Update" with (dt, the player). A collected item
    // is skipped. A failing update is reported on standard output ("Item
    // update failed: " and the message), once while the same message keeps
    // coming, and the step goes on with the next player. No player is
    // pinned while its item's script runs, so a disconnect never waits for
    // a script. Does nothing until scripting is ready.
    void UpdateHeldItems(double dt);

    void AddServerCommand(const ServerCommand& command);
    void ClearLuaCommands();
    // Makes alias stand for command (the command name comes first).
    void AddAlias(std::string command, std::string alias);
    void RemoveAlias(std::string alias);
    void ClearAllAliases();
    // The command an alias stands for, else name unchanged; resolved once.
    std::string ResolveAlias(std::string name) const;

    // Writes the text and a line end to standard output at once.
    void WriteConsoleMessageLine(std::string text);

    // Appends the heading, the rule and one line per declared command.
    void ListServerCommands(ServerCommandConnector& connector) const;

    // Runs one command line for sender and returns the run's connector; its
    // output holds what the command printed or the dispatcher's message. A
    // line without any token gives an empty output and runs nothing. When
    // the Lua state is held by another entry for longer than the time
    // limits' commandWait, nothing runs and the output says so. Safe from
    // any thread.
    ServerCommandConnector Execute(const Net::Guid& sender, const std::string& line);

    // The words of a command line: the matches of
    // [^\s"']+|"[^"]*"|'[^']*', each trimmed of white space and then of
    // double quotes at both ends.
    static std::vector<std::string> Tokenize(const std::string& line);

    // The Lua lock, for code outside the commander that calls into the state.
    std::unique_lock<LuaMutex> Lock() const;
    // The state; null before InitLua and after Close. Use it only while
    // holding Lock().
    lua_State* GetLuaState() const { return state; }

private:
    class Bound;
    void ReloadLocked(ServerCommandConnector& connector);
    // True when an entry may run: a state exists and no shut-down stopped it.
    bool MayEnter() const { return state != nullptr && !interrupted; }
    // The Lua lock for an entry: waits at most until the deadline and not at
    // all once Interrupt has been called (the lock is then not owned).
    std::unique_lock<LuaMutex> LockForEntry(LuaMutex::Clock::time_point deadline = LuaMutex::Clock::time_point::max());
    void ReportItemError(const std::string& message);
    static void LimitHook(lua_State* L, lua_Debug* debug);

    mutable LuaMutex luaMutex;
    lua_State* state = nullptr;
    std::vector<ServerCommand> commands;
    std::map<std::string, std::string> aliases;
    std::string mainScriptPath;
    std::string lastGarbageError;  // empty while the garbage step works
    // Item errors reported during the previous and the current step.
    std::set<std::string> itemErrorsBefore;
    std::set<std::string> itemErrorsNow;

    // The deadline of the entry that runs now (Lua lock held).
    ScriptTimeLimits limits;
    bool deadlineSet = false;
    std::chrono::steady_clock::time_point deadline;
    double limitSeconds = 0.0;
    const char* limitWhat = "";
    std::atomic<bool> interrupted{false};
    // limits.commandWait, read before the Lua lock is had.
    std::atomic<double> commandWait{ScriptTimeLimits().commandWait};
};

// The process's script host.
extern ServerCommander g_serverCommander;
// Set once at the end of the start-up's InitLua, also when the main script
// failed; never cleared. CollectGarbage does nothing until it is set.
extern std::atomic<bool> g_scriptsReady;

}  // namespace Tav
