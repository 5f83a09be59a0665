#pragma once
// Helpers for end-to-end tests of the real tavserver binary.
//
//   TavTest::WorkFolder folder;            // <tmp>/run/server, with
//                                          // ../../assets/lua -> the repository's scripts
//                                          // and connection.cfg naming 127.0.0.1
//   TavTest::ServerProcess server(folder); // takes the port-37373 lock, starts the server
//   ASSERT_TRUE(server.WaitForLine("Starting server..."));
//   TavTest::Process client(folder, {"c"});  // the test client
//   TavTest::RawClient raw;                // a Net::Peer of the test itself
//   ASSERT_TRUE(raw.Connect());
//   server.WriteLine("exit");
//   EXPECT_EQ(server.WaitExit(), 0);
//
// Lines are compared without their line end. Every wait has a deadline;
// nothing sleeps for a fixed time. The binary and the source tree come from
// the environment (TAV_BINARY, which ctest sets; TAV_SOURCE_DIR if set).
// A suite that uses ServerProcess or PortLock is registered with
// USES_SERVER_PORT (tests/CMakeLists.txt).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/BitStream.h"
#include "net/Peer.h"
#include "net/Types.h"

namespace TavTest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: sanitizer builds start and stop the server slowly.
inline constexpr std::chrono::milliseconds kDefaultDeadline = 30s;
inline constexpr uint16_t kServerPort = 37373;
inline constexpr const char* kPortLockFile = "/tmp/tavserver-port-37373.lock";

inline std::string RequireEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value)
        throw std::runtime_error(std::string(name) + " is not set (run the tests through ctest)");
    return value;
}
inline std::string BinaryPath() { return RequireEnv("TAV_BINARY"); }
// The source tree: TAV_SOURCE_DIR, else the tree this header lies in.
inline std::string SourceDir() {
    if (const char* value = std::getenv("TAV_SOURCE_DIR"); value && *value)
        return value;
    const std::string here = __FILE__;
    const std::string tail = "/tests/e2e/ProcessHarness.h";
    if (here.size() > tail.size() && here.compare(here.size() - tail.size(), tail.size(), tail) == 0)
        return here.substr(0, here.size() - tail.size());
    return RequireEnv("TAV_SOURCE_DIR");
}

// The processes that have a UDP socket bound to the port, as "pid (command
// line)" texts: the socket inodes of /proc/net/udp and udp6 whose local port
// it is, found among the descriptors of every process that can be read.
inline std::vector<std::string> PortHolders(uint16_t port = kServerPort) {
    char hexPort[8];
    std::snprintf(hexPort, sizeof hexPort, ":%04X", port);
    std::vector<std::string> inodes;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // heading
        while (std::getline(in, line)) {
            // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream fields(line);
            std::string f[10];
            for (auto& field : f)
                fields >> field;
            const std::string& local = f[1];
            if (local.size() > 5 && local.compare(local.size() - 5, 5, hexPort) == 0)
                inodes.push_back("socket:[" + f[9] + "]");
        }
    }
    std::vector<std::string> holders;
    if (inodes.empty())
        return holders;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(entry.path() / "fd", fdError)) {
            std::error_code linkError;
            const std::string target = std::filesystem::read_symlink(fd.path(), linkError).string();
            if (linkError || std::find(inodes.begin(), inodes.end(), target) == inodes.end())
                continue;
            std::ifstream cmd(entry.path() / "cmdline", std::ios::binary);
            std::string command((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
            std::replace(command.begin(), command.end(), '\0', ' ');
            holders.push_back(pid + " (" + command + ")");
            break;
        }
    }
    return holders;
}

// Exclusive use of the fixed server port among all test processes of the
// machine, for as long as the object lives. Within one ctest run the suites
// that use the port share a ctest resource lock and never wait here; a wait
// means that a test run of another build folder holds the port, and its
// length goes to standard error (ctest shows it with a failure's output).
class PortLock {
public:
    PortLock() {
        fd_ = ::open(kPortLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0)
            throw std::runtime_error(std::string("cannot open ") + kPortLockFile);
        if (Lock(LOCK_EX | LOCK_NB)) {
            ReportForeignHolders();
            return;
        }
        if (errno != EWOULDBLOCK)
            Fail();
        std::fprintf(stderr, "Another process holds %s; waiting for it.\n", kPortLockFile);
        const auto start = Clock::now();
        if (!Lock(LOCK_EX))
            Fail();
        std::fprintf(stderr, "Waited %.1f s for %s.\n",
                     std::chrono::duration<double>(Clock::now() - start).count(), kPortLockFile);
        ReportForeignHolders();
    }
    ~PortLock() {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

private:
    // With the lock held nobody should have the port: a process that does
    // (left over, or started without the lock) takes what a server started
    // now should receive. Named on standard error for the failure report.
    static void ReportForeignHolders() {
        for (const auto& holder : PortHolders())
            std::fprintf(stderr, "UDP port %u is already bound by process %s; a server started now receives nothing.\n",
                         unsigned(kServerPort), holder.c_str());
    }
    // true when locked; false with errno set otherwise.
    bool Lock(int operation) {
        for (;;) {
            if (::flock(fd_, operation) == 0)
                return true;
            if (errno != EINTR)
                return false;
        }
    }
    [[noreturn]] void Fail() {
        ::close(fd_);
        throw std::runtime_error("cannot lock the server port");
    }

    int fd_ = -1;
};

// A temporary working folder two levels below a temporary root, so that the
// server's "../../assets/lua/Main.lua" resolves to <root>/assets/lua/Main.lua
// (a link to the repository's scripts unless UseMainScript replaces it).
// Holds connection.cfg naming 127.0.0.1. Removed with everything in it.
class WorkFolder {
public:
    WorkFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tav-e2e-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data()))
            throw std::runtime_error("cannot make a temporary folder");
        root_ = buffer.data();
        dir_ = root_ / "run" / "server";
        try {
            std::filesystem::create_directories(dir_);
            std::filesystem::create_directories(root_ / "assets");
            std::filesystem::create_symlink(std::filesystem::path(SourceDir()) / "assets" / "lua",
                                            root_ / "assets" / "lua");
            WriteFile("connection.cfg", "127.0.0.1\n");
        } catch (...) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
            throw;
        }
    }
    ~WorkFolder() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::filesystem::path& Path() const { return dir_; }
    const std::filesystem::path& Root() const { return root_; }

    // Writes a file of the working folder (name relative to it).
    void WriteFile(const std::string& name, const std::string& text) const {
        std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out)
            throw std::runtime_error("cannot write " + name);
    }

    // Gives the server a main script of its own in place of the repository's.
    void UseMainScript(const std::string& text) const {
        const auto lua = root_ / "assets" / "lua";
        // The first call replaces the link to the repository's scripts with a
        // folder of our own; later calls only rewrite the script.
        if (std::filesystem::is_symlink(lua)) std::filesystem::remove(lua);
        std::filesystem::create_directories(lua);
        std::ofstream(lua / "Main.lua", std::ios::binary | std::ios::trunc) << text;
    }

private:
    std::filesystem::path root_;
    std::filesystem::path dir_;
};

// The binary started as a child process in a working folder, with pipes for
// standard input, output and error. Killed (SIGKILL) on destruction if it
// still runs.
class Process {
public:
    Process(const WorkFolder& folder, std::vector<std::string> args = {}) { Start(folder.Path().string(), args); }
    ~Process() {
        if (!exited_) {
            ::kill(pid_, SIGKILL);
            Reap(true);
        }
        CloseStdin();
        if (reader_.joinable())
            reader_.join();
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of standard output not yet taken, or nothing by the deadline.
    std::optional<std::string> ReadLine(std::chrono::milliseconds deadline = kDefaultDeadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, deadline, [this] { return next_ < lines_.size() || outClosed_; }))
            return std::nullopt;
        if (next_ >= lines_.size())
            return std::nullopt;
        return lines_[next_++];
    }

    // Takes lines until one equals text; false when the deadline passes or
    // the output ends first.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds deadline = kDefaultDeadline) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0)
                return false;
            auto line = ReadLine(left);
            if (!line)
                return false;
            if (*line == text)
                return true;
        }
    }

    // Waits until standard output has shown text as a line count times in
    // all (lines taken before included).
    bool WaitForLineCount(const std::string& text, size_t count, std::chrono::milliseconds deadline = kDefaultDeadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return CountLocked(text) >= count || outClosed_; }) &&
               CountLocked(text) >= count;
    }

    // Every line of standard output so far.
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t CountLines(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(text);
    }
    // Standard error so far.
    std::string Stderr() {
        std::lock_guard<std::mutex> lock(mutex_);
        return err_;
    }
    // The first sanitizer report on standard error ("" when there is none).
    // A process that ends through its orderly shut-down skips the
    // sanitizers' exit-time checks, so their reports show only here.
    std::string SanitizerReport() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const char* mark : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                 "runtime error:"}) {
            auto at = err_.find(mark);
            if (at != std::string::npos)
                return err_.substr(at, 2000);
        }
        return std::string();
    }

    // Standard output and error, for failure messages.
    std::string Transcript() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::ostringstream s;
        s << "--- stdout\n";
        for (const auto& l : lines_)
            s << l << "\n";
        s << "--- stderr\n" << err_;
        return s.str();
    }

    // Writes text and a line end to the standard input; false when the
    // process no longer reads it.
    bool WriteLine(const std::string& text) { return WriteRaw(text + "\n"); }
    bool WriteRaw(const std::string& bytes) {
        if (inFd_ < 0)
            return false;
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(inFd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    void CloseStdin() {
        if (inFd_ >= 0) {
            ::close(inFd_);
            inFd_ = -1;
        }
    }

    void Signal(int sig) {
        if (!exited_)
            ::kill(pid_, sig);
    }

    // The exit code (128 + the signal number when a signal ended it), or
    // nothing if the process still runs at the deadline. Once it has
    // returned a code, Lines() and Stderr() hold everything the process wrote.
    std::optional<int> WaitExit(std::chrono::milliseconds deadline = kDefaultDeadline) {
        const auto end = Clock::now() + deadline;
        while (!exited_) {
            if (Reap(false))
                break;
            if (Clock::now() >= end)
                return std::nullopt;
            std::this_thread::sleep_for(2ms);
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_until(lock, end, [this] { return outClosed_ && errClosed_; });
        return status_;
    }
    bool Running() { return !exited_ && !Reap(false); }

    // The scheduler state of the process's main thread ('R' running, 'S'
    // sleeping, ...), or 0 when it cannot be read.
    char MainThreadState() const {
        auto fields = MainThreadStat();
        return fields.empty() ? 0 : fields[0][0];
    }
    // Processor time the main thread has used so far, in clock ticks.
    long MainThreadCpuTicks() const {
        auto fields = MainThreadStat();
        // After the name: state, ppid, ..., utime (12th), stime (13th).
        return fields.size() > 12 ? std::stol(fields[11]) + std::stol(fields[12]) : -1;
    }

private:
    void Start(const std::string& dir, const std::vector<std::string>& args) {
        static std::once_flag ignorePipe;
        // A child that has gone must not end the test through a write to its input.
        std::call_once(ignorePipe, [] { ::signal(SIGPIPE, SIG_IGN); });

        const std::string binary = BinaryPath();
        std::vector<std::string> argvStrings{binary};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvStrings)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::runtime_error("pipe2 failed");
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::signal(SIGPIPE, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (::chdir(dir.c_str()) != 0)
                ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        inFd_ = in[1];
        reader_ = std::thread([this, outFd = out[0], errFd = err[0]] { ReadOutput(outFd, errFd); });
    }

    void ReadOutput(int outFd, int errFd) {
        std::string partial;
        pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        int open = 2;
        char buffer[4096];
        while (open > 0) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                std::lock_guard<std::mutex> lock(mutex_);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                    if (i == 0) {
                        if (!partial.empty())
                            lines_.push_back(partial);
                        outClosed_ = true;
                    } else {
                        errClosed_ = true;
                    }
                } else if (i == 0) {
                    partial.append(buffer, static_cast<size_t>(n));
                    size_t start = 0, nl;
                    while ((nl = partial.find('\n', start)) != std::string::npos) {
                        lines_.push_back(partial.substr(start, nl - start));
                        start = nl + 1;
                    }
                    partial.erase(0, start);
                } else {
                    err_.append(buffer, static_cast<size_t>(n));
                }
                changed_.notify_all();
            }
        }
    }

    // The fields of /proc/<pid>/task/<pid>/stat after the process name.
    std::vector<std::string> MainThreadStat() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto close = text.rfind(')');
        std::vector<std::string> fields;
        if (close == std::string::npos)
            return fields;
        std::istringstream rest(text.substr(close + 1));
        for (std::string f; rest >> f;)
            fields.push_back(f);
        return fields;
    }

    bool Reap(bool block) {
        if (exited_)
            return true;
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r != pid_)
            return false;
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    size_t CountLocked(const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines_)
            n += l == text;
        return n;
    }

    pid_t pid_ = -1;
    int inFd_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    size_t next_ = 0;
    bool outClosed_ = false;
    bool errClosed_ = false;
    std::string err_;
};

// The server binary (server mode, extra arguments optional) in a working
// folder, holding the port-37373 lock from before its start to after its end.
class ServerProcess : private PortLock, public Process {
public:
    explicit ServerProcess(const WorkFolder& folder, std::vector<std::string> args = {})
        : PortLock(), Process(folder, std::move(args)) {}

    // Waits until this server has bound UDP port 37373; false if the server
    // ends first or the deadline passes.
    bool WaitUntilListening(std::chrono::milliseconds deadline = kDefaultDeadline) {
        const std::string self = std::to_string(Pid()) + " ";
        const auto end = Clock::now() + deadline;
        while (Clock::now() < end) {
            for (const auto& holder : PortHolders())
                if (holder.compare(0, self.size(), self) == 0)
                    return true;
            if (!Running())
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
};

// A network peer of the test itself, for talking to a server directly.
class RawClient {
public:
    RawClient() {
        peer_ = Net::Peer::GetInstance();
        Net::SocketDescriptor descriptor(0, "");
        if (peer_->Startup(1, &descriptor, 1) != Net::STARTED)
            throw std::runtime_error("the raw client's peer did not start");
    }
    ~RawClient() { Net::Peer::DestroyInstance(peer_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to 127.0.0.1 (port 37373 unless given) and waits for the
    // acceptance; false on a failed attempt or at the deadline.
    // An attempt that goes unanswered (a server not listening yet: a
    // sanitizer build may take seconds to get there) is made again until
    // the deadline; a server that says it is full is an answer.
    bool Connect(std::chrono::milliseconds deadline = kDefaultDeadline, uint16_t port = kServerPort) {
        if (peer_->Connect("127.0.0.1", port, nullptr, 0) != Net::CONNECTION_ATTEMPT_STARTED)
            return false;
        const auto end = Clock::now() + deadline;
        while (Clock::now() < end) {
            if (Poll()) {
                auto& last = received_.back();
                if (last.data[0] == Net::ID_CONNECTION_REQUEST_ACCEPTED) {
                    last.taken = true;
                    server_ = last.guid;
                    return true;
                }
                if (last.data[0] == Net::ID_CONNECTION_ATTEMPT_FAILED) {
                    last.taken = true;
                    if (peer_->Connect("127.0.0.1", port, nullptr, 0) != Net::CONNECTION_ATTEMPT_STARTED)
                        return false;
                    continue;
                }
                if (last.data[0] == Net::ID_NO_FREE_INCOMING_CONNECTIONS)
                    return false;
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
        return false;
    }

    // Sends the stream to the server (reliable, channel 0 unless given).
    bool Send(const Net::BitStream& stream, Net::PacketReliability reliability = Net::RELIABLE, char channel = 0) {
        return peer_->Send(&stream, Net::HIGH_PRIORITY, reliability, channel, Net::AddressOrGuid(server_), false) != 0;
    }

    // Waits for a packet whose first byte is id (packets received before,
    // not yet taken by an earlier wait, count) and returns its bytes.
    std::optional<std::vector<unsigned char>> WaitFor(unsigned char id,
                                                     std::chrono::milliseconds deadline = kDefaultDeadline) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            for (size_t i = 0; i < received_.size(); ++i) {
                if (!received_[i].taken && received_[i].data[0] == id) {
                    received_[i].taken = true;
                    return received_[i].data;
                }
            }
            if (Clock::now() >= end)
                return std::nullopt;
            if (!Poll())
                std::this_thread::sleep_for(1ms);
        }
    }

    // Drains what has arrived (without waiting).
    void Drain() {
        while (Poll()) {
        }
    }

    Net::Peer* GetPeer() const { return peer_; }
    Net::Guid ServerGuid() const { return server_; }

    struct Received {
        Net::Guid guid;
        std::vector<unsigned char> data;
        bool taken;  // returned by WaitFor already
    };
    const std::vector<Received>& All() const { return received_; }

private:
    // Takes one packet into received_; false when none (with data) was waiting.
    bool Poll() {
        Net::Packet* p = peer_->Receive();
        if (!p)
            return false;
        const bool kept = p->length > 0 && p->data;
        if (kept)
            received_.push_back({p->guid, std::vector<unsigned char>(p->data, p->data + p->length), false});
        peer_->DeallocatePacket(p);
        return kept;
    }

    Net::Peer* peer_ = nullptr;
    Net::Guid server_;
    std::vector<Received> received_;
};

}  // namespace TavTest
