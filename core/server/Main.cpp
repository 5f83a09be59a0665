// The process entry: the server with its operator console, or with the
// argument "c" the test client.
#include <cstdio>
#include <cstring>

#include "core/AllocationHooks.h"
#include "core/server/Console.h"
#include "core/server/Server.h"
#include "core/server/TestClient.h"
#include "net/Allocation.h"
#include "scripting/ServerCommander.h"
#include "world/BrickCatalogue.h"
#include "world/TerrainGenerator.h"

int main(int argc, char** argv) {
    // Every line reaches a pipe or a file as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Tav::InstallNetHooks();

    Tav::BrickCatalogue::Build();
    Tav::TerrainGenerator::PrepareShapeTables();

    if (argc > 1 && std::strcmp(argv[1], "c") == 0) {
        std::fputs("Starting client...\n", stdout);
        std::fflush(stdout);
        Tav::TestClient testClient;  // never returns
    }

    Tav::InstallConsoleCtrlHandler();
    std::fputs("Starting server...\n", stdout);
    std::fflush(stdout);
    Tav::Server* server = nullptr;
    try {
        server = new Tav::Server();
    } catch (const Tav::ChunkStoreRefused& refused) {
        // world.db cannot be read or written: one line, and the code of a
        // refusal at start.
        std::printf("%s\n", refused.what());
        Tav::ExitProcess(2);
    }
    Tav::PublishServer(server);
    Tav::StartServer(server);
    Tav::g_serverCommander.InitLua(server);
    Tav::FinishStartup();

    Tav::RunConsoleLoop();
    return 0;
}
