// The real server binary under hostile clients, measured from outside.
//
// BM_JoinWhileFlooded: one client floods the server with chunk requests
// (1024 new chunks each, as fast as the network takes them) while another
// client joins: how long the joining client waits for its player (spawn_ms)
// and then for the answer to a request of one chunk (answer_ms). The
// iteration time is the sum.
//
// BM_GarbageMessages: a client sends game messages of random lengths and
// bytes; how many the server takes per second, whether it is still running
// and answering afterwards, and how much its memory grew (rss_growth_mb).
//
// BM_HeavyCommands/N: N clients each send the costliest design import that
// the server accepts (4 MiB of empty elements, in Base64) five times a
// second, while an honest client times the answer to a request of one
// resident chunk (answer_ms, median and worst). N = 0 is the quiet server.
//
// BM_FloodingHosts/K: K hosts, each from an address of its own (127.0.0.2,
// 127.0.0.3, ...), each keeping 8 requests of 1024 chunks that nobody has
// asked for before queued (a new one as each answer arrives: its whole share
// of the server's queue), while an honest host asks for 3 resident chunks
// every 200 ms: how long the honest host waits for each answer (honest_p50_ms,
// honest_p99_ms, honest_max_ms), how many chunks the flooders get a second in
// all (flood_chunks_per_s: every one of them generated), and then, with the
// flood still on, how long "exit" (K/0) or SIGTERM (K/1) takes to end the
// server (stop_ms) and when the honest host hears of it (told_ms; -1: not
// before the end), and whether a sanitizer build of the server reported
// anything (sanitizer_report). K = 0 is the quiet server.
//
// BM_EditFlood: a client sends brick edits (place and remove in turn, in one
// chunk) as fast as the network takes them; how many the server took per
// second, how many of them it showed (the rest were refused while the
// client's share of the store queue was full), whether another client's
// edit is still shown afterwards (other_edit_ms), and the memory growth.
//
// The server binary is TAV_BINARY, or ../core/server/tavserver beside this
// program; it binds UDP port 37373 under the same lock as the end-to-end
// tests (tests/e2e/ProcessHarness.h).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/GameMessageBuilders.h"
#include "tests/e2e/ProcessHarness.h"
#include "tests/world/DesignText.h"
#include "world/ChunkMessage.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void FindBinary() {
    if (std::getenv("TAV_BINARY")) return;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    self[n] = 0;
    const std::string path = (std::filesystem::path(self).parent_path() / ".." / "core" / "server" / "tavserver").string();
    ::setenv("TAV_BINARY", path.c_str(), 0);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A started server with one client of its own that has its player.
struct Running {
    Running() : server(folder) {
        if (!server.WaitForLine("Starting server...") || !server.WaitUntilListening())
            throw std::runtime_error("the server did not start:\n" + server.Transcript());
    }
    TavTest::WorkFolder folder;
    TavTest::ServerProcess server;
};

// Sends what next() gives every period from a peer of its own, on a thread
// of its own, draining what comes back so that nothing piles up on this side.
class Sender {
public:
    Sender(std::function<Net::BitStream()> next, std::chrono::milliseconds period)
        : next_(std::move(next)), period_(period), peer_(Net::Peer::GetInstance()) {
        Net::SocketDescriptor descriptor(0, "");
        if (peer_->Startup(1, &descriptor, 1) != Net::STARTED) throw std::runtime_error("no peer");
        peer_->Connect("127.0.0.1", TavTest::kServerPort, nullptr, 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~Sender() {
        stop_ = true;
        thread_.join();
        Net::Peer::DestroyInstance(peer_);
    }
    long Sent() const { return sent_.load(); }

private:
    void Run() {
        Net::Guid server;
        bool connected = false;
        auto due = Clock::now();
        while (!stop_) {
            while (Net::Packet* p = peer_->Receive()) {
                if (p->length > 0 && p->data[0] == Net::ID_CONNECTION_REQUEST_ACCEPTED) {
                    connected = true;
                    server = p->guid;
                }
                peer_->DeallocatePacket(p);
            }
            if (connected && Clock::now() >= due) {
                const Net::BitStream message = next_();
                peer_->Send(&message, Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, 0, Net::AddressOrGuid(server), false);
                ++sent_;
                due = Clock::now() + period_;
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::function<Net::BitStream()> next_;
    std::chrono::milliseconds period_;
    Net::Peer* peer_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
};

// Requests of 1024 chunks that are not resident yet, far from everyone,
// as fast as the network takes them.
Sender ChunkRequestFlood() {
    return Sender(
        [next = int32_t{0}]() mutable {
            std::vector<Tav::Vector3i> coordinates;
            for (int i = 0; i < 1024; ++i, ++next)
                coordinates.push_back({1000 + next % 20000, next / 20000 % 5, 1000 + next / 100000 % 20000});
            return TavTest::ChunkRequest(coordinates);
        },
        2ms);
}

void BM_JoinWhileFlooded(benchmark::State& state) {
    FindBinary();
    Running running;
    Sender flooder = ChunkRequestFlood();
    std::this_thread::sleep_for(1s);  // the flood is under way
    std::vector<double> spawns, answers;
    for (auto _ : state) {
        TavTest::RawClient joiner;
        const auto start = Clock::now();
        if (!joiner.Connect(20s) || !joiner.WaitFor(Tav::ID_PLAYER_SPAWNED, 20s)) {
            state.SkipWithError("no player within 20 s while another client floods");
            break;
        }
        const auto spawned = Clock::now();
        joiner.Send(TavTest::ChunkRequest({{0, 0, 0}}));
        if (!joiner.WaitFor(Tav::ID_CHUNK_DATA, 20s)) {
            state.SkipWithError("no answer within 20 s while another client floods");
            break;
        }
        const auto answered = Clock::now();
        spawns.push_back(Ms(spawned - start));
        answers.push_back(Ms(answered - spawned));
        state.SetIterationTime(std::chrono::duration<double>(answered - start).count());
    }
    auto median = [](std::vector<double> v) {
        if (v.empty()) return 0.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    state.counters["spawn_ms"] = median(spawns);
    state.counters["answer_ms"] = median(answers);
    state.counters["flood_requests"] = static_cast<double>(flooder.Sent());
    running.server.WriteLine("exit");
    running.server.WaitExit();
}
BENCHMARK(BM_JoinWhileFlooded)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_GarbageMessages(benchmark::State& state) {
    FindBinary();
    Running running;
    TavTest::RawClient client;
    if (!client.Connect() || !client.WaitFor(Tav::ID_PLAYER_SPAWNED)) {
        state.SkipWithError("no player");
        return;
    }
    std::mt19937 random(7);
    const long rssBefore = RssKb(running.server.Pid());
    long sent = 0;
    for (auto _ : state) {
        // Ids 130 to 136 with bodies of any length (mostly short), random
        // bytes, and now and then a huge count or length in front.
        for (int i = 0; i < 1000; ++i) {
            std::vector<unsigned char> bytes(1 + random() % (random() % 8 == 0 ? 2000 : 40));
            for (auto& b : bytes) b = static_cast<unsigned char>(random());
            bytes[0] = static_cast<unsigned char>(130 + random() % 7);
            if (bytes.size() > 5 && random() % 4 == 0) bytes[1] = bytes[2] = 0x7F;
            Net::BitStream m;
            m.WriteBytes(bytes.data(), bytes.size());
            client.Send(m, Net::RELIABLE_ORDERED);
            ++sent;
        }
        client.Drain();
    }
    // Still there, and still answering.
    client.Send(TavTest::ChunkRequest({{0, 0, 0}}));
    const bool answering = client.WaitFor(Tav::ID_CHUNK_DATA, 30s).has_value();
    state.counters["messages_per_s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
    state.counters["running"] = running.server.Running() && answering ? 1 : 0;
    state.counters["rss_growth_mb"] = (RssKb(running.server.Pid()) - rssBefore) / 1024.0;
    running.server.WriteLine("exit");
    running.server.WaitExit();
}
BENCHMARK(BM_GarbageMessages)->Iterations(100)->Unit(benchmark::kMillisecond);

void BM_HeavyCommands(benchmark::State& state) {
    FindBinary();
    Running running;
    TavTest::RawClient honest;
    if (!honest.Connect() || !honest.WaitFor(Tav::ID_PLAYER_SPAWNED)) {
        state.SkipWithError("no player");
        return;
    }
    honest.Send(TavTest::ChunkRequest({{0, 0, 0}}));
    honest.WaitFor(Tav::ID_CHUNK_DATA, 20s);

    std::string elements;
    while (elements.size() + 4 <= 4 * 1024 * 1024) elements += "<a/>";
    const std::string command = "import " + TavTest::Base64Encode(elements);
    std::vector<std::unique_ptr<Sender>> senders;
    for (int64_t i = 0; i < state.range(0); ++i)
        senders.push_back(std::make_unique<Sender>([&command] { return TavTest::ServerCommand(command); }, 200ms));
    std::this_thread::sleep_for(2s);  // the commands are under way

    std::vector<double> answers;
    for (auto _ : state) {
        const auto start = Clock::now();
        honest.Send(TavTest::ChunkRequest({{0, 0, 0}}));
        // The imports tell every client with a message of no chunk (13
        // bytes); the answer is the one with a chunk.
        std::optional<std::vector<unsigned char>> answer;
        while ((answer = honest.WaitFor(Tav::ID_CHUNK_DATA, 30s)) && answer->size() <= 13) {
        }
        if (!answer) {
            state.SkipWithError("no answer within 30 s");
            break;
        }
        answers.push_back(Ms(Clock::now() - start));
        state.SetIterationTime(answers.back() / 1000.0);
        std::this_thread::sleep_for(100ms);
    }
    long sent = 0;
    for (const auto& s : senders) sent += s->Sent();
    senders.clear();
    std::sort(answers.begin(), answers.end());
    state.counters["answer_ms"] = answers.empty() ? 0.0 : answers[answers.size() / 2];
    state.counters["worst_ms"] = answers.empty() ? 0.0 : answers.back();
    state.counters["commands_sent"] = static_cast<double>(sent);
    running.server.WriteLine("exit");
    running.server.WaitExit();
}
BENCHMARK(BM_HeavyCommands)->Arg(0)->Arg(1)->Arg(4)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

// A host that keeps kQueued requests of 1024 chunks that nobody has asked for
// queued at the server, from an address of its own, on a thread of its own.
class FloodingHost {
public:
    static constexpr int kQueued = 8;

    FloodingHost(const std::string& address, std::atomic<int64_t>& next) : next_(next), peer_(Net::Peer::GetInstance()) {
        Net::SocketDescriptor descriptor(0, address.c_str());
        if (peer_->Startup(1, &descriptor, 1) != Net::STARTED) throw std::runtime_error("no peer on " + address);
        peer_->Connect("127.0.0.1", TavTest::kServerPort, nullptr, 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~FloodingHost() {
        stop_ = true;
        thread_.join();
        Net::Peer::DestroyInstance(peer_);
    }
    bool Connected() const { return connected_.load(); }
    int64_t ChunksReceived() const { return chunks_.load(); }

private:
    Net::BitStream NextRequest() {
        // Ground chunks (cy 0: never empty) far from the spawn, each asked
        // for once in the whole run, by whichever host comes first.
        const int64_t first = next_.fetch_add(1024);
        std::vector<Tav::Vector3i> coordinates;
        for (int64_t n = first; n < first + 1024; ++n)
            coordinates.push_back({static_cast<int32_t>(1000 + n % 20000), 0, static_cast<int32_t>(1000 + n / 20000)});
        return TavTest::ChunkRequest(coordinates);
    }
    void Run() {
        Net::Guid server;
        int outstanding = 0;
        while (!stop_) {
            bool any = false;
            while (Net::Packet* p = peer_->Receive()) {
                any = true;
                if (p->length > 0 && p->data[0] == Net::ID_CONNECTION_REQUEST_ACCEPTED) {
                    server = p->guid;
                    connected_ = true;
                } else if (p->length >= 5 && p->data[0] == Tav::ID_CHUNK_DATA) {
                    --outstanding;
                    chunks_ += (int64_t(p->data[1]) << 24) | (int64_t(p->data[2]) << 16) | (int64_t(p->data[3]) << 8) |
                               int64_t(p->data[4]);
                }
                peer_->DeallocatePacket(p);
            }
            for (; connected_ && outstanding < kQueued; ++outstanding) {
                const Net::BitStream request = NextRequest();
                peer_->Send(&request, Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, 0, Net::AddressOrGuid(server), false);
            }
            if (!any) std::this_thread::sleep_for(1ms);
        }
    }

    std::atomic<int64_t>& next_;
    Net::Peer* peer_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::atomic<int64_t> chunks_{0};
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

void BM_FloodingHosts(benchmark::State& state) {
    FindBinary();
    const int64_t flooders = state.range(0);
    const bool bySignal = state.range(1) != 0;
    constexpr auto kPeriod = 200ms;
    constexpr auto kMeasured = 20s;
    for (auto _ : state) {
        Running running;
        TavTest::RawClient honest;
        if (!honest.Connect() || !honest.WaitFor(Tav::ID_PLAYER_SPAWNED, 60s)) {
            state.SkipWithError("the honest host got no player");
            return;
        }
        // Resident from the spawn on: three ground chunks of the spawn block.
        const std::vector<Tav::Vector3i> resident{{0, 0, 0}, {1, 0, 0}, {0, 0, -1}};
        honest.Send(TavTest::ChunkRequest(resident));
        honest.WaitFor(Tav::ID_CHUNK_DATA, 20s);

        std::atomic<int64_t> next{0};
        std::vector<std::unique_ptr<FloodingHost>> hosts;
        for (int64_t i = 0; i < flooders; ++i)
            hosts.push_back(std::make_unique<FloodingHost>("127.0.0." + std::to_string(2 + i), next));
        for (const auto deadline = Clock::now() + 30s; Clock::now() < deadline;) {
            bool all = true;
            for (const auto& h : hosts) all = all && h->Connected();
            if (all) break;
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(3s);  // every share is full and the worker busy

        // The honest host asks every period, whatever is still unanswered; a
        // host's answers come in the order of its requests.
        std::vector<double> waits;
        std::deque<Clock::time_point> asked;
        auto take = [&] {
            honest.Drain();
            while (honest.WaitFor(Tav::ID_CHUNK_DATA, 0ms)) {
                if (asked.empty()) continue;
                waits.push_back(Ms(Clock::now() - asked.front()));
                asked.pop_front();
            }
        };
        auto flooded = [&] {
            int64_t n = 0;
            for (const auto& h : hosts) n += h->ChunksReceived();
            return n;
        };
        const int64_t floodedBefore = flooded();
        const auto start = Clock::now();
        for (auto due = start; Clock::now() < start + kMeasured;) {
            if (Clock::now() >= due) {
                honest.Send(TavTest::ChunkRequest(resident));
                asked.push_back(Clock::now());
                due += kPeriod;
            }
            take();
            std::this_thread::sleep_for(1ms);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const int64_t floodedChunks = flooded() - floodedBefore;
        // What is still unanswered counts as waiting until now.
        for (const auto at : asked) waits.push_back(Ms(Clock::now() - at));

        // The stop, with the flood still on.
        const auto stopAt = Clock::now();
        if (bySignal)
            running.server.Signal(SIGTERM);
        else
            running.server.WriteLine("exit");
        double toldMs = -1;
        auto told = [&] {
            honest.Drain();
            if (toldMs < 0 && honest.WaitFor(Net::ID_DISCONNECTION_NOTIFICATION, 0ms))
                toldMs = Ms(Clock::now() - stopAt);
        };
        while (running.server.Running() && Clock::now() - stopAt < 120s) {
            told();
            std::this_thread::sleep_for(1ms);
        }
        const auto code = running.server.WaitExit(60s);
        const double stopMs = Ms(Clock::now() - stopAt);
        told();
        hosts.clear();

        state.SetIterationTime(seconds);
        state.counters["honest_p50_ms"] = Percentile(waits, 0.50);
        state.counters["honest_p99_ms"] = Percentile(waits, 0.99);
        state.counters["honest_max_ms"] = Percentile(waits, 1.0);
        state.counters["honest_answers"] = static_cast<double>(waits.size() - asked.size());
        state.counters["flood_chunks_per_s"] = static_cast<double>(floodedChunks) / seconds;
        state.counters["stop_ms"] = stopMs;
        state.counters["told_ms"] = toldMs;
        state.counters["exit_code"] = code ? *code : -1;
        state.counters["sanitizer_report"] = running.server.SanitizerReport().empty() ? 0 : 1;
        if (!running.server.SanitizerReport().empty())
            std::fprintf(stderr, "%s\n", running.server.SanitizerReport().c_str());
    }
}
BENCHMARK(BM_FloodingHosts)
    ->ArgsProduct({{0, 1, 4}, {0}})
    ->Args({4, 1})
    ->Args({16, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_EditFlood(benchmark::State& state) {
    FindBinary();
    Running running;
    TavTest::RawClient flooder, other;
    if (!flooder.Connect() || !flooder.WaitFor(Tav::ID_PLAYER_SPAWNED) || !other.Connect() ||
        !other.WaitFor(Tav::ID_PLAYER_SPAWNED)) {
        state.SkipWithError("no player");
        return;
    }
    const Tav::Vector3i at(4, 60, 4);  // in the sky of chunk (0, 3, 0), resident around the spawn
    const long rssBefore = RssKb(running.server.Pid());
    long sent = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i, ++sent)
            flooder.Send(sent % 2 == 0 ? TavTest::PlaceBrick(at, 0, 0, 3) : TavTest::RemoveBrick(at),
                         Net::RELIABLE_ORDERED, 1);
        flooder.Drain();
    }
    // Another client's edit, elsewhere, is still shown.
    std::this_thread::sleep_for(2s);
    flooder.Drain();
    other.Drain();
    const auto start = Clock::now();
    other.Send(TavTest::PlaceBrick(Tav::Vector3i(-12, 60, 4), 0, 0, 5), Net::RELIABLE_ORDERED, 1);
    bool shown = false;
    while (!shown) {
        const auto m = other.WaitFor(Tav::ID_CHUNK_DATA, 30s);
        if (!m) break;
        // Its chunk (-1, 3, 0), not one of the flooder's (0, 3, 0).
        std::vector<Tav::ChunkDataEntry> entries;
        if (!Tav::ReadChunkDataMessage(m->data(), m->size(), entries)) continue;
        for (const Tav::ChunkDataEntry& e : entries) shown = shown || (e.cx == -1 && e.cy == 3 && e.cz == 0);
    }
    const double otherMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    flooder.Drain();
    size_t chunkData = 0;
    for (const auto& r : flooder.All()) chunkData += r.data[0] == Tav::ID_CHUNK_DATA;
    state.counters["edits_per_s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
    state.counters["edits_shown_pct"] = 100.0 * static_cast<double>(chunkData) / static_cast<double>(sent);
    state.counters["other_edit_ms"] = shown ? otherMs : -1;
    state.counters["running"] = running.server.Running() && shown ? 1 : 0;
    state.counters["rss_growth_mb"] = (RssKb(running.server.Pid()) - rssBefore) / 1024.0;
    running.server.WriteLine("exit");
    running.server.WaitExit();
}
BENCHMARK(BM_EditFlood)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
