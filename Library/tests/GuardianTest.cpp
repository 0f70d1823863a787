// The guardian: a process that writes a port's last words once the process that watched the
// port is gone. The watcher runs as a child process of the test, on a pseudo-terminal whose
// far end the test reads; it dies in each of the ways a process dies. The test process adopts
// the orphaned guardian (it is a child subreaper), so that it can tell how the guardian ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "PtyDevice.h"
#include "platform/Guardian.h"
#include "platform/SerialPort.h"

using namespace Brivane::HardwareAPI;
using Testing::Bytes;
using Testing::PtyDevice;

namespace {

using Clock = std::chrono::steady_clock;

// A zero-force command, as far as the guardian knows: bytes.
const Bytes kLastWords = {0xC3, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0xEE, 0x3C};
const Bytes kOtherWords = {0xC3, 0x20, 0x01, 0x3C};

constexpr std::size_t kFrameLength = 7;

Bytes Frame(int k) {
    const auto b = static_cast<std::uint8_t>(k);
    return {0xA1, b,   static_cast<std::uint8_t>(b * 3), static_cast<std::uint8_t>(b * 7), 0x00,
            0x00, 0x1A};
}

Bytes Frames(int count) {
    Bytes all;
    for (int k = 0; k < count; ++k) {
        const Bytes frame = Frame(k);
        all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const char* what, double seconds) {
    std::printf("    %s: last words %.1f ms after the death\n", what, seconds * 1000.0);
    std::fflush(stdout);
}

// A pseudo-terminal whose test end can let go of the line, so that the far end sees the line
// hang up once every process that opened it is gone.
class LooseLine : public PtyDevice {
  public:
    void LetGo() {
        ::close(static_cast<int>(held_));
        held_ = -1;
    }
    bool HangsUp(double seconds) const {
        pollfd entry{master(), POLLIN, 0};
        return ::poll(&entry, 1, static_cast<int>(seconds * 1000)) == 1 &&
               (entry.revents & POLLHUP);
    }
};

// The watching process: runs `body` in a child of its own, which tells the test how far it
// got (Tell), waits for its word (Await), and ends as it likes; its return is its exit code.
class Watcher {
  public:
    template <typename Body>
    explicit Watcher(Body&& body) {
        int report[2] = {-1, -1};
        int command[2] = {-1, -1};
        if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(command, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(report[0]);
            ::close(command[1]);
            report_ = report[1];
            command_ = command[0];
            ::_exit(body(*this));
        }
        ::close(report[1]);
        ::close(command[0]);
        report_ = report[0];
        command_ = command[1];
    }
    ~Watcher() {
        if (pid_ > 0 && status_ == -1) {
            ::kill(pid_, SIGKILL);
            Reap(5.0);
        }
        ::close(report_);
        ::close(command_);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    pid_t pid() const { return pid_; }

    // In the watcher.
    void Tell(char what) const { Tell(&what, 1); }
    void Tell(const void* what, std::size_t n) const {
        if (::write(report_, what, n) != static_cast<ssize_t>(n)) ::_exit(90);
    }
    char Await() const {
        char word = 0;
        while (::read(command_, &word, 1) < 0 && errno == EINTR) {
        }
        return word;
    }

    // In the test: what the watcher told within `seconds`, up to n bytes.
    std::string Hear(std::size_t n, double seconds) const {
        std::string heard;
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (heard.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            pollfd entry{report_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
            char chunk[64];
            const ssize_t got = ::read(report_, chunk, std::min(sizeof chunk, n - heard.size()));
            if (got <= 0) break;
            heard.append(chunk, static_cast<std::size_t>(got));
        }
        return heard;
    }
    void Say(char what) const { ASSERT_EQ(::write(command_, &what, 1), 1); }
    // The watcher's wait status once it ended, or -1 when it did not within `seconds`.
    int Reap(double seconds) {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (status_ == -1 && pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            } else if (Clock::now() >= until) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int report_ = -1;
    int command_ = -1;
    int status_ = -1;
};

std::string Describe(int status) {
    if (status == -1) return "still running";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// Opens the port on `line`, watches it with kLastWords and writes `frames` frames. Returns 0,
// or the exit code the watcher ends with.
int OpenWatchAndWrite(Platform::SerialPort& port, Platform::Guardian& guardian,
                      const PtyDevice& line, int frames) {
    if (port.Open(line.path().c_str()) != 1) return 10;
    if (guardian.Watch(port, kLastWords.data(), kLastWords.size()) != 0) return 11;
    if (!guardian.Watching()) return 12;
    for (int k = 0; k < frames; ++k) {
        const Bytes frame = Frame(k);
        if (!port.Write(reinterpret_cast<const char*>(frame.data()), frame.size()).done()) {
            return 13;
        }
    }
    return 0;
}

// Whether the path opens as a port: nobody else holds its lock.
bool PortIsFree(const std::string& path) {
    Platform::SerialPort port;
    return port.Open(path.c_str()) == 1;
}

void NoCoreDump() {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
}

}  // namespace

// The tests, named Guardian.*: this process adopts the orphaned guardians, and reaps each.
class Guardian : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
    void TearDown() override {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        // Nothing is left behind: every adopted guardian ends by itself.
        for (const int status : ReapAdopted(3.0))
            ADD_FAILURE() << "left over: " << Describe(status);
    }

    // The exit statuses of the adopted processes that end within `seconds` (the watchers
    // being reaped already), once none is left; a process that does not end counts as -1.
    static std::vector<int> ReapAdopted(double seconds) {
        std::vector<int> statuses;
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, WNOHANG);
            if (pid > 0) {
                statuses.push_back(status);
            } else if (pid < 0) {
                return statuses;  // none left
            } else if (Clock::now() >= until) {
                statuses.push_back(-1);
                return statuses;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    // The adopted guardian ended by itself once it had spoken.
    static void ExpectTheGuardianSpokeAndWent() {
        const std::vector<int> ended = ReapAdopted(3.0);
        ASSERT_EQ(ended.size(), 1u);
        EXPECT_TRUE(WIFEXITED(ended[0]) && WEXITSTATUS(ended[0]) == 0) << Describe(ended[0]);
    }
};

// However the watcher ends, the far end reads exactly the frames it wrote, then the last
// words, well within a second; the guardian then goes and leaves the port free.
TEST_F(Guardian, WritesTheLastWordsHoweverTheProcessEnds) {
    ASSERT_TRUE(Platform::Guardian::Supported());
    struct Case {
        const char* name;
        int kill_with;  // a signal the test sends, or 0: the watcher ends itself
        char how;       // how the watcher ends itself
        int status_signal;
    };
    const Case cases[] = {
        {"SIGTERM", SIGTERM, 0, SIGTERM},
        {"SIGKILL", SIGKILL, 0, SIGKILL},
        {"_exit(0)", 0, 'x', 0},
        {"abort()", 0, 'a', SIGABRT},
        {"segmentation fault", 0, 's', SIGSEGV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PtyDevice line;
        Watcher watcher([&](Watcher& self) {
            NoCoreDump();
            Platform::SerialPort port;
            Platform::Guardian guardian;
            if (const int failed = OpenWatchAndWrite(port, guardian, line, 3)) return failed;
            self.Tell('r');
            switch (self.Await()) {
                case 'x':
                    ::_exit(0);
                case 'a':
                    std::abort();
                case 's': {  // a real fault, which the compiler cannot see coming
                    ::signal(SIGSEGV, SIG_DFL);  // no sanitizer's handler turns it into an exit
                    void* page =
                        ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                    *static_cast<volatile char*>(page) = 1;
                    return 20;
                }
                default:
                    ::pause();
            }
            return 21;
        });
        ASSERT_EQ(watcher.Hear(1, 5.0), "r") << Describe(watcher.Reap(1.0));
        EXPECT_EQ(line.Receive(Frames(3).size()), Frames(3));

        const auto death = Clock::now();
        if (c.kill_with != 0) {
            ASSERT_EQ(::kill(watcher.pid(), c.kill_with), 0);
        } else {
            watcher.Say(c.how);
        }
        const Bytes words = line.Receive(kLastWords.size(), 2.0);
        const double delay = SecondsSince(death);
        EXPECT_EQ(words, kLastWords);
        EXPECT_LT(delay, 1.0);
        Report(c.name, delay);
        RecordProperty(std::string("delay_ms_") + c.name, std::to_string(delay * 1000.0));
        EXPECT_EQ(line.ReceiveAll(0.1), Bytes{});  // once only, and nothing else

        const int status = watcher.Reap(2.0);
        if (c.status_signal != 0) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.status_signal)
                << Describe(status);
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
        }
        ExpectTheGuardianSpokeAndWent();
        EXPECT_TRUE(PortIsFree(line.path()));
    }
}

// Ending the watch, by Dismiss(), the guardian's end or the port's close, writes nothing: not
// then, nor when the watcher dies later. The guardian is gone by then, reaped, and holds
// the line no more: with the watcher gone, the far end sees the line hang up.
TEST_F(Guardian, EndingTheWatchWritesNothingAndLeavesNothing) {
    struct Case {
        const char* name;
        char how;
    };
    for (const Case c : {Case{"Dismiss()", 'd'}, Case{"the guardian's destructor", 'g'},
                         Case{"the port's Close()", 'c'}, Case{"the port's destructor", 'p'}}) {
        SCOPED_TRACE(c.name);
        LooseLine line;
        Watcher watcher([&](Watcher& self) {
            auto port = std::make_unique<Platform::SerialPort>();
            auto guardian = std::make_unique<Platform::Guardian>();
            if (const int failed = OpenWatchAndWrite(*port, *guardian, line, 2)) return failed;
            self.Tell('o');
            self.Await();
            switch (c.how) {
                case 'd':
                    guardian->Dismiss();
                    break;
                case 'g':
                    guardian.reset();
                    break;
                case 'c':
                    port->Close();
                    if (port->Open(line.path().c_str()) != 1) return 30;  // free again
                    break;
                case 'p':
                    port.reset();
                    break;
            }
            if (guardian && guardian->Watching()) return 31;
            // No child left, not even a zombie.
            siginfo_t info{};
            if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != -1 || errno != ECHILD) {
                return 32;
            }
            self.Tell('r');
            self.Await();
            return 33;
        });
        ASSERT_EQ(watcher.Hear(1, 5.0), "o") << Describe(watcher.Reap(1.0));
        EXPECT_EQ(line.Receive(Frames(2).size()), Frames(2));
        line.LetGo();  // from now on the watcher, and the guardian while it watches, hold it
        watcher.Say('g');
        ASSERT_EQ(watcher.Hear(1, 5.0), "r") << Describe(watcher.Reap(1.0));
        EXPECT_EQ(line.ReceiveAll(0.1), Bytes{});

        ASSERT_EQ(::kill(watcher.pid(), SIGKILL), 0);
        EXPECT_TRUE(line.HangsUp(1.0));
        EXPECT_EQ(line.ReceiveAll(0.2), Bytes{});
        EXPECT_TRUE(WIFSIGNALED(watcher.Reap(2.0)));
        EXPECT_TRUE(ReapAdopted(0.5).empty());
    }
}

// A frame the line took only part of, when its write timed out on a full line, is finished
// before the last words: the far end reads its rest, then the words.
TEST_F(Guardian, FinishesAHalfWrittenFrameFirst) {
    constexpr std::size_t kLong = 1000;  // long frames, that a full line takes in part
    auto long_frame = [](int k) { return Bytes(kLong, static_cast<std::uint8_t>(k % 250 + 1)); };
    bool torn = false;
    for (int attempt = 0; attempt < 5 && !torn; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        PtyDevice line;
        Watcher watcher([&](Watcher& self) {
            Platform::SerialPort port;
            Platform::Guardian guardian;
            if (const int failed = OpenWatchAndWrite(port, guardian, line, 0)) return failed;
            port.SetTimeouts(Platform::PortTimeouts{0, 0, 0, 0, 20});
            // Nobody reads: the line fills, and a write at last times out.
            std::int32_t written = 0;
            for (; written < 1000; ++written) {
                const Bytes frame = long_frame(written);
                const Platform::IoStatus result =
                    port.Write(reinterpret_cast<const char*>(frame.data()), frame.size()).status;
                if (result == Platform::IoStatus::TimedOut) break;
                if (result != Platform::IoStatus::Done) return 40;
            }
            self.Tell(&written, sizeof written);
            ::pause();
            return 41;
        });
        const std::string told = watcher.Hear(sizeof(std::int32_t), 10.0);
        ASSERT_EQ(told.size(), sizeof(std::int32_t)) << Describe(watcher.Reap(1.0));
        std::int32_t written = 0;
        std::memcpy(&written, told.data(), sizeof written);

        // The watcher writes no more: what the line holds is what it took.
        const Bytes taken = line.ReceiveAll(0.2);
        ASSERT_GE(taken.size(), static_cast<std::size_t>(written) * kLong);
        ASSERT_LT(taken.size(), static_cast<std::size_t>(written + 1) * kLong);
        for (int k = 0; k < written; ++k) {
            ASSERT_EQ(Bytes(taken.begin() + k * kLong, taken.begin() + (k + 1) * kLong),
                      long_frame(k));
        }
        const std::size_t head = taken.size() - static_cast<std::size_t>(written) * kLong;
        torn = head > 0;

        const auto death = Clock::now();
        ASSERT_EQ(::kill(watcher.pid(), SIGKILL), 0);
        Bytes expected;
        if (torn) expected.assign(kLong - head, static_cast<std::uint8_t>(written % 250 + 1));
        expected.insert(expected.end(), kLastWords.begin(), kLastWords.end());
        const Bytes rest = line.Receive(expected.size(), 2.0);
        const double delay = SecondsSince(death);
        EXPECT_EQ(rest, expected);
        EXPECT_LT(delay, 1.0);
        Report(torn ? "the rest of a torn frame, then" : "no frame torn", delay);
        EXPECT_EQ(line.ReceiveAll(0.1), Bytes{});
        watcher.Reap(2.0);
        ExpectTheGuardianSpokeAndWent();
    }
    EXPECT_TRUE(torn) << "no write was ever cut short: nothing was tested";
}

// A Ctrl-C, a hang-up or a kill sent to the watcher's process group kills the watcher, not
// the guardian, which then speaks; a Ctrl-C the watcher survives makes it say nothing.
TEST_F(Guardian, OutlivesSignalsToTheProcessGroup) {
    struct Case {
        const char* name;
        int signal_number;
        bool survived;  // the watcher handles it
    };
    for (const Case c : {Case{"SIGINT", SIGINT, false}, Case{"SIGHUP", SIGHUP, false},
                         Case{"SIGTERM", SIGTERM, false}, Case{"SIGKILL", SIGKILL, false},
                         Case{"SIGINT, handled", SIGINT, true}}) {
        SCOPED_TRACE(c.name);
        PtyDevice line;
        Watcher watcher([&](Watcher& self) {
            if (::setpgid(0, 0) != 0) return 50;  // a job of its own, as a shell starts it
            if (c.survived) {
                struct sigaction handled {};
                handled.sa_handler = [](int) {};
                ::sigaction(SIGINT, &handled, nullptr);
            }
            Platform::SerialPort port;
            Platform::Guardian guardian;
            if (const int failed = OpenWatchAndWrite(port, guardian, line, 2)) return failed;
            self.Tell('r');
            for (;;) ::pause();
        });
        ASSERT_EQ(watcher.Hear(1, 5.0), "r") << Describe(watcher.Reap(1.0));
        EXPECT_EQ(line.Receive(Frames(2).size()), Frames(2));

        // At once: the guardian is out of the group by the time Watch returns.
        auto death = Clock::now();
        ASSERT_EQ(::kill(-watcher.pid(), c.signal_number), 0);
        if (c.survived) {
            EXPECT_EQ(line.ReceiveAll(0.3), Bytes{});
            EXPECT_EQ(watcher.Reap(0.0), -1);
            death = Clock::now();
            ASSERT_EQ(::kill(watcher.pid(), SIGKILL), 0);
        }
        const Bytes words = line.Receive(kLastWords.size(), 2.0);
        const double delay = SecondsSince(death);
        EXPECT_EQ(words, kLastWords);
        EXPECT_LT(delay, 1.0);
        Report(c.name, delay);
        EXPECT_EQ(line.ReceiveAll(0.1), Bytes{});
        watcher.Reap(2.0);
        ExpectTheGuardianSpokeAndWent();
    }
}

// A copy of the watcher made by fork() (os.fork(), a worker pool) does not end the watch when
// it ends its own copy of it, and does not hold the guardian up when it outlives the watcher.
TEST_F(Guardian, AForkOfTheWatcherNeitherEndsNorHoldsTheWatch) {
    for (const bool copy_lingers : {false, true}) {
        SCOPED_TRACE(copy_lingers ? "the copy outlives the watcher" : "the copy ends its watch");
        PtyDevice line;
        Watcher watcher([&](Watcher& self) {
            Platform::SerialPort port;
            Platform::Guardian guardian;
            if (const int failed = OpenWatchAndWrite(port, guardian, line, 2)) return failed;
            const pid_t copy = ::fork();
            if (copy == 0) {
                if (guardian.Watching()) ::_exit(60);  // not this process's guardian
                if (copy_lingers) {
                    self.Await();
                    ::_exit(0);
                }
                guardian.Dismiss();
                port.Close();
                ::_exit(0);
            }
            if (!copy_lingers) {
                int status = 0;
                if (::waitpid(copy, &status, 0) != copy || !WIFEXITED(status) ||
                    WEXITSTATUS(status) != 0) {
                    return 61;
                }
            }
            if (!guardian.Watching()) return 62;
            self.Tell('r');
            ::pause();
            return 63;
        });
        ASSERT_EQ(watcher.Hear(1, 5.0), "r") << Describe(watcher.Reap(1.0));
        EXPECT_EQ(line.Receive(Frames(2).size()), Frames(2));

        const auto death = Clock::now();
        ASSERT_EQ(::kill(watcher.pid(), SIGKILL), 0);
        const Bytes words = line.Receive(kLastWords.size(), 2.0);
        const double delay = SecondsSince(death);
        EXPECT_EQ(words, kLastWords);
        EXPECT_LT(delay, 1.0);
        Report(copy_lingers ? "with a copy alive" : "after a copy ended", delay);
        EXPECT_EQ(line.ReceiveAll(0.1), Bytes{});
        watcher.Reap(2.0);
        if (copy_lingers) {
            watcher.Say('q');  // the copy, adopted too, goes
            const std::vector<int> ended = ReapAdopted(3.0);
            ASSERT_EQ(ended.size(), 2u);
            for (const int status : ended) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
            }
        } else {
            ExpectTheGuardianSpokeAndWent();
        }
    }
}

// Watching again: the same port takes the new words in place, another port takes the watch
// over; the words are written once, the latest, on the port watched last.
TEST_F(Guardian, WatchingAgainChangesTheWordsOrThePort) {
    for (const bool same_port : {true, false}) {
        SCOPED_TRACE(same_port ? "the same port" : "another port");
        PtyDevice first;
        PtyDevice second;
        Watcher watcher([&](Watcher& self) {
            Platform::SerialPort port;
            Platform::SerialPort other;
            Platform::Guardian guardian;
            if (const int failed = OpenWatchAndWrite(port, guardian, first, 1)) return failed;
            if (other.Open(second.path().c_str()) != 1) return 70;
            Platform::SerialPort& next = same_port ? port : other;
            if (guardian.Watch(next, kOtherWords.data(), kOtherWords.size()) != 0) return 71;
            if (!guardian.Watching()) return 72;
            // Nothing left of the first watch.
            siginfo_t info{};
            info.si_pid = 0;
            if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) {
                return 73;
            }
            self.Tell('r');
            ::pause();
            return 74;
        });
        ASSERT_EQ(watcher.Hear(1, 5.0), "r") << Describe(watcher.Reap(1.0));
        EXPECT_EQ(first.Receive(Frames(1).size()), Frames(1));

        ASSERT_EQ(::kill(watcher.pid(), SIGKILL), 0);
        const PtyDevice& watched = same_port ? first : second;
        EXPECT_EQ(watched.Receive(kOtherWords.size(), 2.0), kOtherWords);
        EXPECT_EQ(first.ReceiveAll(0.1), Bytes{});
        EXPECT_EQ(second.ReceiveAll(0.1), Bytes{});
        watcher.Reap(2.0);
        ExpectTheGuardianSpokeAndWent();
    }
}

// The guardian keeps no other file of the watcher open: a pipe the watcher had open reaches
// its end of file once the watcher closes its own copy.
TEST_F(Guardian, HoldsNoOtherFileOfTheWatcher) {
    PtyDevice line;
    int pipe_ends[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipe_ends), 0);  // inherited, as a file opened without O_CLOEXEC is
    Watcher watcher([&](Watcher& self) {
        ::close(pipe_ends[0]);
        Platform::SerialPort port;
        Platform::Guardian guardian;
        if (const int failed = OpenWatchAndWrite(port, guardian, line, 0)) return failed;
        ::close(pipe_ends[1]);
        self.Tell('r');
        ::pause();
        return 80;
    });
    ::close(pipe_ends[1]);
    ASSERT_EQ(watcher.Hear(1, 5.0), "r") << Describe(watcher.Reap(1.0));
    pollfd entry{pipe_ends[0], POLLIN, 0};
    char byte = 0;
    EXPECT_EQ(::poll(&entry, 1, 1000), 1);
    EXPECT_EQ(::read(pipe_ends[0], &byte, 1), 0);  // end of file: nobody holds it
    ::close(pipe_ends[0]);
    ASSERT_EQ(::kill(watcher.pid(), SIGKILL), 0);
    EXPECT_EQ(line.Receive(kLastWords.size(), 2.0), kLastWords);
    watcher.Reap(2.0);
    ExpectTheGuardianSpokeAndWent();
}

// The servo's way: the watch starts, then another thread streams frames until the process
// is killed among them. The far end reads whole frames, then the last words.
TEST_F(Guardian, WatchesWhileAnotherThreadWrites) {
    PtyDevice line;
    Watcher watcher([&](Watcher& self) {
        Platform::SerialPort port;
        Platform::Guardian guardian;
        if (const int failed = OpenWatchAndWrite(port, guardian, line, 0)) return failed;
        std::atomic<bool> failed{false};
        std::thread servo([&] {
            for (int k = 0; k < 1000000 && !failed; ++k) {
                const Bytes frame = Frame(k);
                if (port.Write(reinterpret_cast<const char*>(frame.data()), frame.size()).status ==
                    Platform::IoStatus::Failed) {
                    failed = true;
                }
                if (k == 10) self.Tell('r');
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        servo.join();
        return 90;
    });
    ASSERT_EQ(watcher.Hear(1, 5.0), "r") << Describe(watcher.Reap(1.0));
    Bytes got = line.Receive(kFrameLength * 50, 2.0);
    const auto death = Clock::now();
    ASSERT_EQ(::kill(watcher.pid(), SIGKILL), 0);
    // Frames until the words come, and nothing after them.
    double delay = -1.0;
    auto ends_in_words = [&] {
        return got.size() >= kLastWords.size() &&
               std::equal(kLastWords.begin(), kLastWords.end(),
                          got.end() - static_cast<std::ptrdiff_t>(kLastWords.size()));
    };
    for (Bytes more; !(more = line.Receive(1, 0.3)).empty();) {  // byte by byte, to time them
        got.insert(got.end(), more.begin(), more.end());
        if (delay < 0 && ends_in_words()) delay = SecondsSince(death);
    }
    ASSERT_TRUE(ends_in_words());
    const std::size_t streamed = got.size() - kLastWords.size();
    ASSERT_EQ(streamed % kFrameLength, 0u) << "a torn frame";
    EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(streamed)),
              Frames(static_cast<int>(streamed / kFrameLength)));
    EXPECT_LT(delay, 1.0);
    Report("among streamed frames", delay);
    watcher.Reap(2.0);
    ExpectTheGuardianSpokeAndWent();
}

// What cannot be watched is refused, with the system's number; the refusals leave the watch
// as it was.
TEST_F(Guardian, RefusesWhatItCannotWatch) {
    PtyDevice line;
    Platform::SerialPort port;
    Platform::Guardian guardian;
    const Bytes too_long(Platform::Guardian::kMaxWords + 1, 0);
    EXPECT_EQ(guardian.Watch(port, kLastWords.data(), kLastWords.size()), EBADF);
    ASSERT_EQ(port.Open(line.path().c_str()), 1);
    EXPECT_EQ(guardian.Watch(port, too_long.data(), too_long.size()), EINVAL);
    EXPECT_EQ(guardian.Watch(port, nullptr, 1), EINVAL);
    EXPECT_FALSE(guardian.Watching());
    ASSERT_EQ(guardian.Watch(port, kLastWords.data(), kLastWords.size()), 0);
    Platform::Guardian another;
    EXPECT_EQ(another.Watch(port, kLastWords.data(), kLastWords.size()), EBUSY);
    EXPECT_TRUE(guardian.Watching());
    guardian.Dismiss();
    EXPECT_FALSE(guardian.Watching());
    guardian.Dismiss();  // nothing when not watching
    EXPECT_EQ(line.ReceiveAll(0.1), Bytes{});
}
