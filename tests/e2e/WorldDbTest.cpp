// world.db as the real server binary meets it: a file it cannot use is
// refused at start, and what clients are shown survives a kill.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <poll.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/ChunkDataCells.h"
#include "world/ChunkMessage.h"
#include "world/TerrainGenerator.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using TavTest::ChunkRequest;
using TavTest::PlaceBrick;
using TavTest::RawClient;
using TavTest::ServerProcess;
using TavTest::TypeAt;
using TavTest::WorkFolder;

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A world.db as a server of this kind leaves it: the chunk table with rows.
void MakeWorld(const fs::path& file) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    std::string sql = "create table mapdata(location TEXT PRIMARY KEY, data blob); BEGIN;";
    for (int i = 0; i < 400; ++i)
        sql += "insert into mapdata values ('" + std::to_string(i) + ",1,0', '" + std::string(200, 'a' + i % 26) +
               "');";
    sql += "COMMIT;";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// The user the server runs as: when the tests run as root (as in CI, where
// permissions stop no write), an unprivileged one, so that a file or folder
// it may not write means what it means for an operator's server.
struct RunAs {
    bool privileged = ::geteuid() == 0;
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    RunAs() {
        if (!privileged) return;
        const passwd* nobody = ::getpwnam("nobody");
        uid = nobody ? nobody->pw_uid : 65534;
        gid = nobody ? nobody->pw_gid : 65534;
    }
};

struct Outcome {
    std::optional<int> code;  // 128 + the signal for a signal
    std::string out, err;
};

// Starts the server in dir as user (setuid in the child before exec, when
// privileged) with its input closed, and waits for its end; a server still
// running at the deadline is killed and counts as not ended. The caller
// holds the port lock (a server that does start binds the port).
Outcome RunServer(const fs::path& dir, const RunAs& user, std::chrono::milliseconds deadline = 20s) {
    const std::string binary = TavTest::BinaryPath();
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe2 failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (user.privileged && (::setgroups(0, nullptr) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0))
            ::_exit(125);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Outcome outcome;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&outcome.out, &outcome.err};
    const auto end = TavTest::Clock::now() + deadline;
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - TavTest::Clock::now());
        if (left.count() <= 0 && !killed) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        if (::poll(fds, 2, killed ? 1000 : static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed) outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

// What a folder holds: each entry's name, kind and bytes (a link's target).
std::string Snapshot(const fs::path& dir) {
    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (e.is_symlink())
            entries.insert(name + " -> " + fs::read_symlink(e.path()).string());
        else if (e.is_directory())
            entries.insert(name + "/ " + Snapshot(e.path()));
        else
            entries.insert(name + " = " + ReadAll(e.path()));
    }
    std::string text;
    for (const auto& e : entries) text += e + "\n";
    return text;
}

class WorldDbRefusal : public ::testing::Test {
protected:
    void SetUp() override {
        // The unprivileged user must reach the working folder.
        fs::permissions(folder.Root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
    }
    void TearDown() override {
        // Everything removable again by the test's user.
        std::error_code ec;
        fs::permissions(Dir(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::path Dir() const { return folder.Path(); }
    fs::path Db() const { return Dir() / "world.db"; }
    // Gives the server's user the working folder (and what it names), so
    // that only what a case sets up stands in its way.
    void GiveToRunner(const std::vector<fs::path>& paths) const {
        if (!user.privileged) return;
        for (const fs::path& p : paths) ASSERT_EQ(::lchown(p.c_str(), user.uid, user.gid), 0) << p;
    }

    // Runs the server and checks the refusal: one line naming world.db and
    // the reason, exit code 2, no abort, the folder as it was.
    void ExpectRefused(const std::string& reason) {
        const std::string before = Snapshot(Dir());
        const Outcome o = RunServer(Dir(), user);
        ASSERT_TRUE(o.code.has_value()) << "the server did not end\n" << o.out << o.err;
        EXPECT_EQ(*o.code, 2) << o.out << o.err;
        std::vector<std::string> refusals;
        std::istringstream lines(o.out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("Cannot use world.db: ", 0) == 0) refusals.push_back(line);
        ASSERT_EQ(refusals.size(), 1u) << o.out;
        EXPECT_NE(refusals[0].find(reason), std::string::npos) << refusals[0];
        EXPECT_NE(refusals[0].find(". The server does not start."), std::string::npos) << refusals[0];
        for (const char* mark : {"terminate called", "Sanitizer", "runtime error:"})
            EXPECT_EQ(o.err.find(mark), std::string::npos) << o.err;
        EXPECT_EQ(Snapshot(Dir()), before) << "world.db and its folder are left as they were";
    }

    TavTest::PortLock port;
    WorkFolder folder;
    RunAs user;
};

// Cases that no permission decides: the server's user owns everything.
TEST_F(WorldDbRefusal, AWorldDbThatIsNoDatabaseFileIsRefused) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"a folder", [](const fs::path& db) { fs::create_directory(db); }, "it is a folder"},
        {"a link into a missing folder",
         [](const fs::path& db) { fs::create_symlink("missing/world.db", db); },
         "it is a link to missing/world.db, which does not exist and cannot be made"},
        {"a link to a folder",
         [](const fs::path& db) {
             fs::create_directory(db.parent_path() / "elsewhere");
             fs::create_symlink("elsewhere", db);
         },
         "which is a folder"},
        {"another file", [](const fs::path& db) { std::ofstream(db) << "name,score\nada,12\n"; },
         "it is damaged or is not a database (file is not a database)"},
        {"a damaged header",
         [](const fs::path& db) {
             MakeWorld(db);
             std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
             f.write("SQLite format 4", 15);
         },
         "it is damaged or is not a database (file is not a database)"},
        {"truncated by pages",
         [](const fs::path& db) {
             MakeWorld(db);
             fs::resize_file(db, fs::file_size(db) / 2);
         },
         "it is damaged or is not a database (database disk image is malformed)"},
        {"truncated within its last page",
         [](const fs::path& db) {
             MakeWorld(db);
             fs::resize_file(db, fs::file_size(db) - 100);
         },
         "it is truncated ("},
        {"a table mapdata of another kind",
         [](const fs::path& db) {
             sqlite3* raw = nullptr;
             sqlite3_open(db.string().c_str(), &raw);
             sqlite3_exec(raw, "create table mapdata(name TEXT, score INTEGER);", nullptr, nullptr, nullptr);
             sqlite3_close(raw);
         },
         "its table mapdata does not hold chunk rows"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        fs::remove_all(Db(), ec);
        fs::remove_all(Dir() / "elsewhere", ec);
        c.make(Db());
        std::vector<fs::path> owned{Dir(), Db()};
        if (fs::exists(Dir() / "elsewhere")) owned.push_back(Dir() / "elsewhere");
        GiveToRunner(owned);
        ExpectRefused(c.reason);
    }
}

// What the server's user may not write: as root the server runs as an
// unprivileged user, otherwise the modes keep the test's own user out.
TEST_F(WorldDbRefusal, AWorldDbThatCannotBeWrittenOrMadeIsRefused) {
    struct Case {
        const char* name;
        bool file;          // world.db exists
        bool fileWritable;  // by the server's user
        bool dirWritable;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"a file it may not write", true, false, true, "it cannot be written (Permission denied)"},
        {"a folder where it cannot make its journal", true, true, false,
         "does not let SQLite make its journal there"},
        {"absent in a folder where it cannot be made", false, false, false,
         "it does not exist and cannot be made in its folder (Permission denied)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::permissions(Dir(), fs::perms::owner_all, fs::perm_options::add);
        std::error_code ec;
        fs::remove(Db(), ec);
        if (c.file) MakeWorld(Db());
        const fs::perms dirMode = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
        if (user.privileged) {
            // Root keeps what the user may not write; the user gets the rest.
            const uid_t dirOwner = c.dirWritable ? user.uid : 0;
            const uid_t fileOwner = c.fileWritable ? user.uid : 0;
            ASSERT_EQ(::chown(Dir().c_str(), dirOwner, dirOwner == 0 ? 0 : user.gid), 0);
            fs::permissions(Dir(), dirMode | fs::perms::owner_write);
            if (c.file) {
                ASSERT_EQ(::chown(Db().c_str(), fileOwner, fileOwner == 0 ? 0 : user.gid), 0);
            }
        } else {
            fs::permissions(Dir(), c.dirWritable ? dirMode | fs::perms::owner_write : dirMode);
            if (c.file && !c.fileWritable)
                fs::permissions(Db(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                fs::perm_options::remove);
        }
        if (c.file) fs::permissions(Db(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                                    fs::perm_options::add);
        ExpectRefused(c.reason);
    }
}

// An immutable file cannot be written even by root.
TEST_F(WorldDbRefusal, AnImmutableWorldDbIsRefused) {
    MakeWorld(Db());
    const int fd = ::open(Db().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    const bool set = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                     (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (!set) {
        ::close(fd);
        GTEST_SKIP() << "the immutable flag cannot be set here (it needs root and a file system that has it)";
    }
    struct Mutable {  // the flag goes again, whatever happens, so that the folder can be removed
        int fd, flags;
        ~Mutable() {
            flags &= ~FS_IMMUTABLE_FL;
            EXPECT_EQ(::ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
            ::close(fd);
        }
    } clear{fd, flags};
    user.privileged = false;  // root itself: the flag stops it
    ExpectRefused("it cannot be written (Operation not permitted)");
}

// ---------------------------------------------------------------------------
// What a client is shown survives a kill.

class ShownEdits : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Tav::BrickCatalogue::Build();
        Tav::TerrainGenerator::PrepareShapeTables();
        Tav::SimplexNoise::InitPermutations();
    }
    // An empty cell of chunk (0, 0, 0) on the studs of a generated brick, in
    // world cells: the foot of a tower of 1 x 1 bricks.
    static Tav::Vector3i Foot() {
        Tav::Chunk* chunk = Tav::AllocChunk();
        chunk->Init(0, 0, 0);
        Tav::TerrainGenerator::GenerateChunk(chunk);
        Net::BitStream out;
        chunk->Serialize(out);
        Tav::FreeChunk(chunk);
        const std::vector<unsigned char> cells(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
        for (int x = 0; x < 16; ++x)
            for (int z = 0; z < 16; ++z)
                for (int y = 1; y < 16; ++y) {
                    const Tav::BrickCell* below = Tav::CellTypeTable::Get(TypeAt(cells, x, y - 1, z));
                    if (TypeAt(cells, x, y, z) == 0 && below && below->hasTopStuds) return {x - 8, y, z - 8};
                }
        ADD_FAILURE() << "no surface in chunk (0, 0, 0)";
        return {0, 0, 0};
    }
    // The tower's levels that a chunk-data message shows.
    void Levels(const std::vector<unsigned char>& message, std::set<int>& into) const {
        std::vector<Tav::ChunkDataEntry> entries;
        ASSERT_TRUE(Tav::ReadChunkDataMessage(message.data(), message.size(), entries));
        for (const auto& e : entries)
            for (int k = 0; k < kLevels; ++k) {
                const Tav::CellLocation at = Tav::LocateCell(foot + Tav::Vector3i(0, k, 0));
                if (at.chunk == Tav::Vector3i(e.cx, e.cy, e.cz) &&
                    TypeAt(e.cells, at.local.x, at.local.y, at.local.z) == oneByOne)
                    into.insert(k);
            }
    }
    static Net::BitStream TowerRequest() { return ChunkRequest({{0, 0, 0}, {0, 1, 0}}); }
    // The chunk-data messages that a client has received so far.
    static size_t ChunkData(RawClient& c) {
        c.Drain();
        return static_cast<size_t>(std::count_if(c.All().begin(), c.All().end(), [](const RawClient::Received& m) {
            return m.data[0] == Tav::ID_CHUNK_DATA;
        }));
    }
    static bool AwaitChunkData(RawClient& c, size_t n) {
        const auto end = TavTest::Clock::now() + TavTest::kDefaultDeadline;
        while (ChunkData(c) < n) {
            if (TavTest::Clock::now() >= end) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    std::unique_ptr<RawClient> Join(ServerProcess& server) {
        auto client = std::make_unique<RawClient>();
        EXPECT_TRUE(client->Connect()) << server.Transcript();
        EXPECT_TRUE(client->WaitFor(Tav::ID_PLAYER_SPAWNED)) << server.Transcript();
        return client;
    }

    static constexpr int kLevels = 15;
    WorkFolder folder;
    const Tav::Vector3i foot = Foot();
    const uint16_t oneByOne = Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex;
};

// Edits whose stores are held back (a reader of world.db keeps the server's
// commit waiting), a client asking for their chunks over and over, a kill
// while stores are pending, a restart: every level of the tower that any
// message showed is still there.
TEST_F(ShownEdits, NothingAClientWasShownIsLostToAKill) {
    std::set<int> shown;
    int placed = 0;
    {
        ServerProcess server(folder);
        ASSERT_TRUE(server.WaitUntilListening()) << server.Transcript();
        auto editor = Join(server);
        auto watcher = Join(server);
        sqlite3* reader = nullptr;
        ASSERT_EQ(sqlite3_open((folder.Path() / "world.db").c_str(), &reader), SQLITE_OK);
        // Rounds of edits: stored at once, held back and then let go, held back at the kill.
        const struct Round {
            int edits;
            bool hold;
        } rounds[] = {{3, false}, {4, true}, {4, true}};
        size_t editorMessages = 0;  // answers and broadcasts the editor is to have
        for (size_t r = 0; r < std::size(rounds); ++r) {
            SCOPED_TRACE(r);
            if (rounds[r].hold) {
                ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM mapdata;", nullptr, nullptr, nullptr),
                          SQLITE_OK);
            }
            for (int i = 0; i < rounds[r].edits; ++i, ++placed)
                ASSERT_TRUE(editor->Send(PlaceBrick(foot + Tav::Vector3i(0, placed, 0), 0, 0, 9)));
            // The editor's own request comes after its edits, so its answer
            // comes once they are made.
            ASSERT_TRUE(editor->Send(TowerRequest()));
            editorMessages += 1 + (rounds[r].hold ? 0 : rounds[r].edits);
            ASSERT_TRUE(AwaitChunkData(*editor, editorMessages)) << server.Transcript();
            for (int ask = 0; ask < 12; ++ask) {
                const size_t before = ChunkData(*watcher);
                ASSERT_TRUE(watcher->Send(TowerRequest()));
                ASSERT_TRUE(AwaitChunkData(*watcher, before + 1)) << server.Transcript();
            }
            if (r + 1 == std::size(rounds)) break;  // killed with the stores held back
            if (!rounds[r].hold) continue;
            ASSERT_EQ(sqlite3_exec(reader, "ROLLBACK;", nullptr, nullptr, nullptr), SQLITE_OK);
            // Every edit of the round is broadcast once stored.
            editorMessages += rounds[r].edits;
            ASSERT_TRUE(AwaitChunkData(*editor, editorMessages)) << server.Transcript();
        }
        EXPECT_EQ(server.SanitizerReport(), "");
        server.Signal(SIGKILL);
        ASSERT_EQ(server.WaitExit(), 128 + SIGKILL);
        sqlite3_exec(reader, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(reader);
        ChunkData(*editor);
        ChunkData(*watcher);
        for (const RawClient* c : {editor.get(), watcher.get()})
            for (const auto& m : c->All())
                if (m.data[0] == Tav::ID_CHUNK_DATA) Levels(m.data, shown);
    }
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitUntilListening()) << server.Transcript();
    auto client = Join(server);
    ASSERT_TRUE(client->Send(TowerRequest()));
    std::set<int> kept;
    auto answer = client->WaitFor(Tav::ID_CHUNK_DATA);
    ASSERT_TRUE(answer) << server.Transcript();
    Levels(*answer, kept);
    EXPECT_TRUE(std::includes(kept.begin(), kept.end(), shown.begin(), shown.end()))
        << "shown " << ::testing::PrintToString(shown) << ", kept " << ::testing::PrintToString(kept);
    EXPECT_EQ(kept, (std::set<int>{0, 1, 2, 3, 4, 5, 6})) << "the last round was held back at the kill";
    ASSERT_TRUE(server.WriteLine("exit"));
    EXPECT_EQ(server.WaitExit(), 0) << server.Transcript();
    EXPECT_EQ(server.SanitizerReport(), "");
}

}  // namespace
