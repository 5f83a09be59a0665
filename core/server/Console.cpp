#include "core/server/Console.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "core/ConsoleOutput.h"

#include "core/server/Server.h"
#include "scripting/ServerCommander.h"
#include "world/BrickCatalogue.h"
#include "world/TerrainGenerator.h"

namespace Tav {

std::atomic<bool> g_running{false};

namespace {

// How long a shut-down waits for the scripts that run to stop (a script
// stops at its next hook once interrupted; what no hook reaches may never
// end), and for the Lua state to close (it runs the finalisers left).
constexpr std::chrono::seconds kScriptStopGrace(5);
// With a script that does not stop, how long the shut-down waits for the
// console's command on another thread to end.
constexpr std::chrono::seconds kConsoleGrace(3);

const char* const kScriptDidNotStop = "A script did not stop; the server shuts down without waiting for it.";

// Guards g_server's publication and the shut-down's hand-over.
std::mutex g_lifeMutex;
std::condition_variable g_lifeChanged;
bool g_serverStarted = false;    // Server::Start has returned
bool g_startupComplete = false;  // and scripting has started
bool g_shutdownClaimed = false;
// After a second control event the shut-down waits this much longer for
// scripts: enough for one that is stopping anyway (a garbage step that was
// under way), far less than the grace.
constexpr std::chrono::milliseconds kHurryGrace(250);

// When a control event came while a shut-down ran (steady clock, ns since
// its epoch; 0 none). Read without the life mutex (from inside the Lua
// lock's waits).
std::atomic<int64_t> g_hurryAt{0};

// Whether a second control event has cut the wait for scripts short.
bool Hurried() {
    const int64_t at = g_hurryAt.load();
    return at != 0 && std::chrono::steady_clock::now().time_since_epoch() - std::chrono::nanoseconds(at) >= kHurryGrace;
}

// The console's command: g_consoleMutex guards these. A shut-down closes the
// console (no command runs after that) and waits for the command that runs.
std::mutex g_consoleMutex;
std::condition_variable g_consoleIdle;
bool g_consoleBusy = false;
bool g_consoleClosed = false;
std::thread::id g_commandThread;  // the thread running the command

[[noreturn]] void ParkForever(std::unique_lock<std::mutex>& lock) {
    for (;;)
        g_lifeChanged.wait(lock);
}

void RunConsoleCommand(const std::string& command) {
    {
        std::lock_guard<std::mutex> console(g_consoleMutex);
        if (g_consoleClosed || !g_running)
            return;
        g_consoleBusy = true;
        g_commandThread = std::this_thread::get_id();
    }
    const Net::Guid self = g_server->GetClient()->GetMyGUID();
    std::string output = g_serverCommander.Execute(self, command).GetOutput();
    output += '\n';
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> console(g_consoleMutex);
        g_consoleBusy = false;
        g_commandThread = std::thread::id();
    }
    g_consoleIdle.notify_all();
}

// No console command runs once this returns, except one on the thread
// skip (the shut-down's own, or one held in a script) or one that has not
// ended by the deadline.
void CloseConsole(std::thread::id skip, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> console(g_consoleMutex);
    g_consoleClosed = true;
    if (!g_consoleBusy || g_commandThread == skip || g_commandThread == std::this_thread::get_id())
        return;
    if (deadline == std::chrono::steady_clock::time_point::max())
        g_consoleIdle.wait(console, [] { return !g_consoleBusy; });
    else
        g_consoleIdle.wait_until(console, deadline, [] { return !g_consoleBusy; });
}

// Closes the Lua state on a thread of its own, so that a finaliser that
// never ends holds up that thread only. True when it closed by the
// deadline (or before a control event cut the wait short).
bool CloseScriptsWithin(std::chrono::steady_clock::time_point deadline) {
    auto closed = std::make_shared<bool>(false);
    std::thread([closed] {
        g_serverCommander.Close();
        {
            std::lock_guard<std::mutex> life(g_lifeMutex);
            *closed = true;
        }
        g_lifeChanged.notify_all();
    }).detach();
    // A control event that came earlier cuts this wait short too, but not
    // below the time that one that comes during it leaves.
    const auto hurriedEnd = std::chrono::steady_clock::now() + kHurryGrace;
    std::unique_lock<std::mutex> life(g_lifeMutex);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (*closed || now >= deadline || (Hurried() && now >= hurriedEnd))
            break;
        g_lifeChanged.wait_for(life, std::chrono::milliseconds(20));
    }
    return *closed;
}

// 0 clean; 3 chunks not stored; 1 the database not closed; 4 a script that
// did not stop (the first of these that applies).
int ExitCode(const Server::StopReport& report, bool scriptStuck) {
    if (report.chunksLost > 0)
        return kExitChunksLost;
    if (!report.databaseClosed)
        return kExitDatabaseNotClosed;
    if (scriptStuck)
        return kExitScriptDidNotStop;
    return kExitClean;
}

void Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The shut-down, once per process. A second request parks its thread for
// good, unless it is a control event: that one cuts the wait for scripts
// short and returns.
void RequestShutdown(bool controlEvent) {
    g_running = false;
    std::unique_lock<std::mutex> life(g_lifeMutex);
    if (!g_server)
        return;
    if (g_shutdownClaimed) {
        if (!controlEvent)
            ParkForever(life);  // the first request ends the process
        if (g_hurryAt.load() == 0)
            g_hurryAt = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
        return;
    }
    g_shutdownClaimed = true;
    // Scripts that run now (a console command, a client's command, the main
    // script at start-up, the chunk worker's steps) stop at their next hook,
    // none starts again, and entries waiting for the Lua state give up.
    g_serverCommander.Interrupt();
    const auto deadline = std::chrono::steady_clock::now() + kScriptStopGrace;
    g_lifeChanged.wait(life, [] { return g_serverStarted; });  // Start runs no script
    Server* server = g_server;
    life.unlock();

    const std::thread::id stuck =
        g_serverCommander.AwaitScriptsStopped(deadline, [] { return Hurried(); });
    if (stuck != std::thread::id()) {
        // A script holds the Lua state and may never give it back (Lua runs
        // finalisers with the time limits' hook off). Its thread is left as
        // it is; the rest is stored, closed and told, and the process ends.
        PrintConsoleLine(kScriptDidNotStop);
        CloseConsole(stuck, std::chrono::steady_clock::now() + kConsoleGrace);
        const Server::StopReport report = server->Stop(stuck);
        ExitProcess(ExitCode(report, true));
    }

    // No script runs and none will: start-up and the console's command end
    // on their own now.
    life.lock();
    g_lifeChanged.wait(life, [] { return g_startupComplete; });
    life.unlock();
    CloseConsole(std::thread::id(), std::chrono::steady_clock::time_point::max());

    const Server::StopReport report = server->Stop();
    // Every thread that enters the Lua state (network thread, chunk worker,
    // console) has been joined or is held off by now. Closing the state runs
    // the finalisers that are left, which no time limit stops either.
    if (!CloseScriptsWithin(std::chrono::steady_clock::now() + kScriptStopGrace)) {
        PrintConsoleLine(kScriptDidNotStop);
        ExitProcess(ExitCode(report, true));  // a finaliser may still reach the server
    }
    delete server;
    TerrainGenerator::FreeShapeTables();
    BrickCatalogue::Destroy();
    ExitProcess(ExitCode(report, false));
}

}  // namespace

void ExitProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

void ShutdownAndExit() { RequestShutdown(false); }

bool ConsoleCtrlHandler(uint32_t event) {
    if (event != kCtrlCEvent && event != kCtrlCloseEvent)
        return false;
    RequestShutdown(true);
    return true;
}

void InstallConsoleCtrlHandler() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A console reader that went away must not end the server mid-write.
    signal(SIGPIPE, SIG_IGN);
    std::thread([set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0)
                continue;
            const uint32_t event = sig == SIGINT ? kCtrlCEvent : kCtrlCloseEvent;
            bool claimed = false;
            {
                std::lock_guard<std::mutex> life(g_lifeMutex);
                claimed = g_shutdownClaimed;
            }
            // A shut-down runs on a thread of its own, so that this one
            // still takes the next signal (which then returns at once).
            if (claimed)
                ConsoleCtrlHandler(event);
            else
                std::thread([event] { ConsoleCtrlHandler(event); }).detach();
        }
    }).detach();
}

void PublishServer(Server* server) {
    std::lock_guard<std::mutex> life(g_lifeMutex);
    g_server = server;
}

void StartServer(Server* server) {
    server->Start();
    {
        std::lock_guard<std::mutex> life(g_lifeMutex);
        g_serverStarted = true;
    }
    g_lifeChanged.notify_all();
}

void FinishStartup() {
    std::lock_guard<std::mutex> life(g_lifeMutex);
    g_startupComplete = true;
    if (!g_shutdownClaimed)
        g_running = true;
    g_lifeChanged.notify_all();
}

ConsoleRead ReadConsoleLine(std::FILE* in, std::string& line) {
    line.clear();
    bool tooLong = false;
    bool any = false;
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n') {
        any = true;
        if (line.size() < kConsoleLineChars)
            line.push_back(static_cast<char>(c));
        else
            tooLong = true;
    }
    if (c == EOF && !any)
        return ConsoleRead::End;
    if (tooLong)
        return ConsoleRead::TooLong;
    line.resize(std::strlen(line.c_str()));  // the text ends at a zero byte
    return ConsoleRead::Line;
}

std::string TrimConsoleLine(const std::string& line) {
    const char* blanks = " \t";
    const auto first = line.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    const auto last = line.find_last_not_of(blanks);
    return line.substr(first, last - first + 1);
}

void RunConsoleLoop() {
    std::string line;
    while (g_running) {
        const ConsoleRead read = ReadConsoleLine(stdin, line);
        if (read == ConsoleRead::End) {
            Print("The console input has ended; the server keeps running until it is interrupted or terminated.\n");
            std::unique_lock<std::mutex> life(g_lifeMutex);
            ParkForever(life);
        }
        if (!g_running)
            break;
        if (read == ConsoleRead::TooLong) {
            Print("The line is too long (at most 127 characters) and was ignored.\n");
            continue;
        }
        const std::string command = TrimConsoleLine(line);
        if (command == "exit" || command == "quit") {
            Print("Shutting Down server...\n");
            ShutdownAndExit();
            continue;
        }
        if (command.empty())
            continue;
        RunConsoleCommand(command);
    }
    // The loop ends only when a shut-down has been asked for.
    ShutdownAndExit();
}

}  // namespace Tav
