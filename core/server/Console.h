#pragma once
// The process around the server: the operator console, the orderly
// shut-down and the console control events (SIGINT is the interrupt event 0;
// SIGHUP and SIGTERM are the close event 2).
//
// Shut-down runs at most once. A request that arrives before the server has
// been constructed only clears the running flag (start-up sets it again); one
// that arrives after construction waits until the server has started. A
// second request never returns (the first one ends the process), except a
// second control event, which cuts the first one's wait for scripts short
// and returns. The console takes no further command once a shut-down has
// begun.
//
// The shut-down first stops every script (they stop at their next hook) and
// waits a few seconds for the Lua state to come free. When a script does not
// stop in that time, or a second control event comes, the thread that runs
// it is left as it is: the console prints "A script did not stop; ...",
// everything else is stopped as far as it does not depend on that thread,
// everything queued for the store is written and the database closed, the
// peers are told, and the process ends with kExitScriptDidNotStop. Closing
// the Lua state, which runs the finalisers left, is bounded the same way.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Tav {

class Server;

// The console loop's running flag.
extern std::atomic<bool> g_running;

// Characters taken of one console line; a longer line is refused whole.
inline constexpr std::size_t kConsoleLineChars = 127;

inline constexpr uint32_t kCtrlCEvent = 0;
inline constexpr uint32_t kCtrlBreakEvent = 1;
inline constexpr uint32_t kCtrlCloseEvent = 2;

// The process's exit codes after a shut-down; where several apply, the first
// of chunks lost, database not closed, script did not stop. (2 belongs to
// the refusal of an unusable world.db at start.)
inline constexpr int kExitClean = 0;
inline constexpr int kExitDatabaseNotClosed = 1;
inline constexpr int kExitChunksLost = 3;
inline constexpr int kExitScriptDidNotStop = 4;

// Stops and frees the server, closes the Lua state, frees the world's tables
// and ends the process with one of the codes above. Returns only when no
// server has been constructed yet.
void ShutdownAndExit();

// Events 0 and 2 shut down (true); every other event is left alone (false).
bool ConsoleCtrlHandler(uint32_t event);

// Blocks SIGINT, SIGHUP and SIGTERM in the calling thread (and so in every
// thread started after it) and starts the thread that waits for them and
// passes them to ConsoleCtrlHandler. Call before any other thread exists.
void InstallConsoleCtrlHandler();

// Start-up steps: the constructed server becomes g_server; StartServer
// starts it (a shut-down asked for meanwhile waits for it); once scripting
// is up too, FinishStartup sets g_running (unless a shut-down has begun).
void PublishServer(Server* server);
void StartServer(Server* server);
void FinishStartup();

// Reads and runs console lines until a shut-down ends the process. At the end
// of the input the console stops reading and the server keeps running until
// a signal ends it.
void RunConsoleLoop();

// Flushes standard output and standard error and ends the process at once.
[[noreturn]] void ExitProcess(int code);

enum class ConsoleRead { Line, TooLong, End };
// One line of in without its line end, at most kConsoleLineChars characters;
// a longer line is consumed whole and reported as TooLong. End when the
// input has ended (or failed) before any character of a line.
ConsoleRead ReadConsoleLine(std::FILE* in, std::string& line);
// The line without leading and trailing spaces and tabs.
std::string TrimConsoleLine(const std::string& line);

}  // namespace Tav
