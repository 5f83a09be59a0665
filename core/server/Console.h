#pragma once
// The process around the server: the operator console, the orderly
// shut-down and the console control events (SIGINT is the interrupt event 0;
// SIGHUP and SIGTERM are the close event 2).
//
// Shut-down runs at most once. A request that arrives before the server has
// been constructed only clears the running flag (start-up sets it again); one
// that arrives after construction but before start-up has finished waits
// until start-up is done and then shuts down. A second request, from any
// thread, never returns: the first one ends the process. A shut-down waits
// for a console command that is running, and the console takes no further
// command once a shut-down has begun.
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

// Stops and frees the server, closes the Lua state, frees the world's tables
// and ends the process with code 0 (1 when the database could not be
// closed). Returns only when no server has been constructed yet.
void ShutdownAndExit();

// Events 0 and 2 shut down (true); every other event is left alone (false).
bool ConsoleCtrlHandler(uint32_t event);

// Blocks SIGINT, SIGHUP and SIGTERM in the calling thread (and so in every
// thread started after it) and starts the thread that waits for them and
// passes them to ConsoleCtrlHandler. Call before any other thread exists.
void InstallConsoleCtrlHandler();

// Start-up steps: the constructed server becomes g_server; once the server
// and scripting are up, FinishStartup sets g_running (unless a shut-down is
// waiting for it, which then goes ahead).
void PublishServer(Server* server);
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
