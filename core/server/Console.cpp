#include "core/server/Console.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/server/Server.h"
#include "scripting/ServerCommander.h"
#include "world/BrickCatalogue.h"
#include "world/TerrainGenerator.h"

namespace Tav {

std::atomic<bool> g_running{false};

namespace {

// Guards g_server's publication and the shut-down's hand-over.
std::mutex g_lifeMutex;
std::condition_variable g_lifeChanged;
bool g_startupComplete = false;
bool g_shutdownClaimed = false;

// Held while a console command runs; the shut-down takes it and keeps it.
std::mutex g_consoleMutex;
// The thread running a console command, so that a shut-down asked for from
// inside that command does not wait for itself.
std::atomic<std::thread::id> g_commandThread{};

[[noreturn]] void ParkForever(std::unique_lock<std::mutex>& lock) {
    for (;;)
        g_lifeChanged.wait(lock);
}

void RunConsoleCommand(const std::string& command) {
    std::lock_guard<std::mutex> console(g_consoleMutex);
    if (!g_running)
        return;
    g_commandThread = std::this_thread::get_id();
    const Net::Guid self = g_server->GetClient()->GetMyGUID();
    std::string output = g_serverCommander.Execute(self, command).GetOutput();
    output += '\n';
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    g_commandThread = std::thread::id();
}

void Print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

}  // namespace

void ExitProcess(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

void ShutdownAndExit() {
    g_running = false;
    std::unique_lock<std::mutex> life(g_lifeMutex);
    if (!g_server)
        return;
    if (g_shutdownClaimed)
        ParkForever(life);  // the first request ends the process
    g_shutdownClaimed = true;
    // Scripts that run now (a console command, a client's command, the main
    // script at start-up) stop at once, and none starts again.
    g_serverCommander.Interrupt();
    g_lifeChanged.wait(life, [] { return g_startupComplete; });
    Server* server = g_server;
    life.unlock();

    std::unique_lock<std::mutex> console(g_consoleMutex, std::defer_lock);
    if (g_commandThread.load() != std::this_thread::get_id())
        console.lock();  // kept to the end: the console runs nothing more

    const bool clean = server->Stop();
    // Every thread that enters the Lua state (network thread, chunk worker,
    // console) has been joined or is held off by now.
    g_serverCommander.Close();
    delete server;
    TerrainGenerator::FreeShapeTables();
    BrickCatalogue::Destroy();
    ExitProcess(clean ? 0 : 1);
}

bool ConsoleCtrlHandler(uint32_t event) {
    if (event != kCtrlCEvent && event != kCtrlCloseEvent)
        return false;
    ShutdownAndExit();
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
            ConsoleCtrlHandler(sig == SIGINT ? kCtrlCEvent : kCtrlCloseEvent);
        }
    }).detach();
}

void PublishServer(Server* server) {
    std::lock_guard<std::mutex> life(g_lifeMutex);
    g_server = server;
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
