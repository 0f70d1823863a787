// The guardian as a forked child process. The process that watches may run many threads (an
// interpreter, the servo), so between fork() and _exit() the child makes only
// async-signal-safe calls: no allocation, no C++ library, no stdio. Everything it needs is
// prepared before the fork, on the stack it inherits, and in the mapping it shares.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>

#include "Guardian.h"
#include "PortLedger.h"
#include "SerialPort.h"

namespace Brivane::HardwareAPI::Platform {

namespace {

constexpr char kReady = 'r';    // the guardian to the watcher: in place
constexpr char kDismiss = 'd';  // the watcher to the guardian: go without a word
// How often the guardian looks whether its parent changed, for when the link stays open
// after the watcher died: a copy of it made by fork() may hold the link.
constexpr int kCheckMilliseconds = 10;
// The time the last words have to get out on a line that takes them slowly.
constexpr std::int64_t kLastWordsNanoseconds = 500'000'000;
// Generous, for a loaded machine: the guardian gets in place, or goes, within these.
constexpr int kReadyMilliseconds = 2000;
constexpr int kGoneMilliseconds = 1000;
constexpr int kMaxDescriptors = 1 << 20;  // the close loop's end, where close_range is missing

// The mapping shared with the guardian: the port's ledger, and the words in two slots, so
// that new words replace the old without a moment where the guardian would find them torn.
struct Shared {
    PortLedger ledger;
    std::atomic<std::uint32_t> current{0};  // the slot in force
    std::uint32_t length[2] = {};
    std::uint8_t words[2][Guardian::kMaxWords] = {};
};

void StoreWords(Shared& shared, const std::uint8_t* words, std::size_t length) {
    const std::uint32_t next = (shared.current.load(std::memory_order_relaxed) + 1) & 1;
    if (length > 0) std::memcpy(shared.words[next], words, length);
    shared.length[next] = static_cast<std::uint32_t>(length);
    shared.current.store(next, std::memory_order_release);
}

// Where the fork handler finds, in a copy of the watcher, the links to close and the ports
// to unlink from their ledgers. Atomics only: a fork may come from any thread at any time.
struct Registered {
    std::atomic<int> link{-1};
    std::atomic<PortLedger**> ledger{nullptr};
};
constexpr int kSlots = 8;
Registered registry[kSlots];

// In the child of any fork(): this copy is not the watcher. Its link would keep the guardian
// from seeing the watcher's end, and its port's writes are not the ones the guardian owes.
void ForgetWatchesAfterFork() {
    for (Registered& slot : registry) {
        if (PortLedger** ledger = slot.ledger.exchange(nullptr)) *ledger = nullptr;
        const int link = slot.link.exchange(-1);
        if (link >= 0) ::close(link);
    }
}

bool ForkHandlerInstalled() {
    static const bool installed = ::pthread_atfork(nullptr, nullptr, ForgetWatchesAfterFork) == 0;
    return installed;
}

int Register(int link, PortLedger** ledger) {
    if (!ForkHandlerInstalled()) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int none = -1;
        if (registry[i].link.compare_exchange_strong(none, link)) {
            registry[i].ledger.store(ledger);
            return i;
        }
    }
    return -1;
}

// Owners of what Watch makes before it hands them to the guardian object.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

class Mapping {
  public:
    Mapping()
        : memory_(::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                         MAP_SHARED | MAP_ANONYMOUS, -1, 0)) {}
    ~Mapping() {
        if (memory_ != MAP_FAILED) ::munmap(memory_, sizeof(Shared));
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    void* get() const { return memory_ == MAP_FAILED ? nullptr : memory_; }
    void* Release() {
        void* memory = get();
        memory_ = MAP_FAILED;
        return memory;
    }

  private:
    void* memory_;
};

// Blocks every signal on this thread while it lives, so that the child starts with none
// delivered: an inherited handler would run the watcher's code in it.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t previous_;
};

std::int64_t Now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int MillisecondsUntil(std::int64_t until) {
    const std::int64_t left = until - Now();
    if (left <= 0) return 0;
    return static_cast<int>((left + 999'999) / 1'000'000);
}

// Waits until the other end of `link` is closed, taking whatever it sent; false when
// `milliseconds` passed first.
bool AwaitHangUp(int link, int milliseconds) {
    const std::int64_t until = Now() + std::int64_t{milliseconds} * 1'000'000;
    for (;;) {
        pollfd entry{link, POLLIN, 0};
        const int ready = ::poll(&entry, 1, MillisecondsUntil(until));
        if (ready < 0 && errno != EINTR) return true;  // nothing left to wait on
        if (ready > 0) {
            char byte = 0;
            const ssize_t got = ::recv(link, &byte, 1, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
            if (got < 0 && (entry.revents & (POLLHUP | POLLERR))) return true;
        }
        if (ready == 0 && MillisecondsUntil(until) == 0) return false;
    }
}

// Ends the guardian at the other end of `link`. Its end closes only when it exits, so while
// that end is open its process id is still its own, and the kill cannot hit another process.
// It is reaped unless someone else already did (a handler of SIGCHLD, or SIGCHLD ignored).
void AwaitGone(int link, pid_t guardian) {
    if (!AwaitHangUp(link, kGoneMilliseconds)) {
        ::kill(guardian, SIGKILL);
        AwaitHangUp(link, kGoneMilliseconds);
    }
    const std::int64_t until = Now() + std::int64_t{kGoneMilliseconds} * 1'000'000;
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(guardian, &status, WNOHANG);
        if (reaped == guardian || (reaped < 0 && errno != EINTR)) return;
        if (reaped == 0) {
            if (Now() >= until) return;
            ::poll(nullptr, 0, 1);  // it has closed its files; its exit is a moment away
        }
    }
}

// What the child needs, made before the fork.
struct Plan {
    pid_t parent;
    int port;
    int link;
    int max_descriptors;
    const Shared* shared;
};

// ---- The guardian's side: async-signal-safe calls only, down to _exit. ----

void CloseRange(unsigned first, unsigned last, int max_descriptors) {
    if (first > last) return;
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, first, last, 0u) == 0) return;
#endif
    for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(max_descriptors); ++fd) {
        ::close(static_cast<int>(fd));
    }
}

// An inherited copy of another port, socket or pipe would keep it open as long as the guardian
// lives: only the port and the link stay.
void CloseAllBut(int a, int b, int max_descriptors) {
    const unsigned low = static_cast<unsigned>(a < b ? a : b);
    const unsigned high = static_cast<unsigned>(a < b ? b : a);
    if (low > 0) CloseRange(0, low - 1, max_descriptors);
    CloseRange(low + 1, high - 1, max_descriptors);
    CloseRange(high + 1, ~0u, max_descriptors);
}

// The watcher's handlers are its code, not the guardian's: back to the defaults, and the
// signals a terminal or a kill of the process group sends are ignored.
void SettleSignals() {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    ::sigemptyset(&standard.sa_mask);
    struct sigaction ignore = standard;
    ignore.sa_handler = SIG_IGN;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
        struct sigaction current {};
        if (::sigaction(signal_number, nullptr, &current) != 0) continue;  // kept by the system
        if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) {
            ::sigaction(signal_number, &standard, nullptr);
        }
    }
    for (const int signal_number :
         {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU}) {
        ::sigaction(signal_number, &ignore, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Writes all of data[0, n) before `until`; false when the line refused or the time ran out.
bool WriteAll(int fd, const void* data, std::size_t n, std::int64_t until) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < n) {
        const ssize_t count = ::write(fd, bytes + sent, n - sent);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno != EAGAIN) return false;
        const int left = MillisecondsUntil(until);
        if (left == 0) return false;
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, left) > 0 && (entry.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            return false;
        }
    }
    return true;
}

bool SpeakLastWords(const Plan& plan) {
    const std::int64_t until = Now() + kLastWordsNanoseconds;
    const Shared& shared = *plan.shared;
    bool spoken = true;
    // The rest of a torn frame first; a write the watcher died in is taken as gone out whole.
    if (shared.ledger.writing.load(std::memory_order_acquire) == 0) {
        const std::uint32_t owed = shared.ledger.owed.load(std::memory_order_acquire);
        if (owed > 0 && owed <= PortLedger::kCapacity) {
            spoken = WriteAll(plan.port, shared.ledger.rest, owed, until);
        }
    }
    const std::uint32_t slot = shared.current.load(std::memory_order_acquire) & 1;
    std::size_t length = shared.length[slot];
    if (length > Guardian::kMaxWords) length = Guardian::kMaxWords;
    if (spoken && length > 0) spoken = WriteAll(plan.port, shared.words[slot], length, until);
#ifdef TIOCOUTQ
    // On the wire before the port closes with this process: a last close may drop the line.
    for (int queued = 1; spoken && Now() < until;) {
        if (::ioctl(plan.port, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
        ::poll(nullptr, 0, 1);
    }
#endif
    // As the watcher's Close would have: exclusive mode is the tty's, and would outlast this
    // last descriptor while anyone else holds the line.
    ::ioctl(plan.port, TIOCNXCL);
    return spoken;
}

[[noreturn]] void Guard(const Plan& plan) {
    // Out of the watcher's session and process group: a terminal's Ctrl-C or hang-up, and a
    // kill of the group, go to the watcher alone.
    ::setsid();
    SettleSignals();
    CloseAllBut(plan.port, plan.link, plan.max_descriptors);
    const char ready = kReady;
    ::send(plan.link, &ready, 1, MSG_NOSIGNAL);
    for (;;) {
        pollfd entry{plan.link, POLLIN, 0};
        if (::poll(&entry, 1, kCheckMilliseconds) > 0) {
            char byte = 0;
            const ssize_t got = ::recv(plan.link, &byte, 1, MSG_DONTWAIT);
            if (got == 1 && byte == kDismiss) ::_exit(0);
            // The end of the link: the watcher's files are closed, it is gone (or became
            // another program, which knows nothing of the port).
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
        }
        if (::getppid() != plan.parent) break;  // gone, and this process handed on
    }
    ::_exit(SpeakLastWords(plan) ? 0 : 1);
}

// ---- Back on the watcher's side. ----

int MaxDescriptors() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(kMaxDescriptors)) {
        return kMaxDescriptors;
    }
    return static_cast<int>(limit.rlim_cur);
}

// Waits for the guardian's word that it is in place; false when it went or did not come.
bool AwaitReady(int link) {
    const std::int64_t until = Now() + std::int64_t{kReadyMilliseconds} * 1'000'000;
    for (;;) {
        pollfd entry{link, POLLIN, 0};
        const int ready = ::poll(&entry, 1, MillisecondsUntil(until));
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0) {
            char byte = 0;
            const ssize_t got = ::recv(link, &byte, 1, MSG_DONTWAIT);
            if (got == 1 && byte == kReady) return true;
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return false;
        }
        if (ready == 0 && MillisecondsUntil(until) == 0) return false;
    }
}

}  // namespace

bool Guardian::Supported() {
    return true;
}

int Guardian::Watch(SerialPort& port, const std::uint8_t* last_words, std::size_t length) {
    if (length > kMaxWords || (length > 0 && last_words == nullptr)) return EINVAL;
    if (port_ != nullptr && owner_ != ::getpid()) Forget();
    if (!port.IsOpen()) return EBADF;
    if (port.guardian_ != nullptr && port.guardian_ != this) return EBUSY;
    if (port_ == &port && Watching()) {
        StoreWords(*static_cast<Shared*>(shared_), last_words, length);
        return 0;
    }
    Dismiss();

    Mapping mapping;
    if (mapping.get() == nullptr) return errno;
    Shared* shared = new (mapping.get()) Shared();
    StoreWords(*shared, last_words, length);
    // A rest the port owes already is owed from the start.
    if (port.pending_length_ > 0) {
        std::memcpy(shared->ledger.rest, port.pending_, port.pending_length_);
        shared->ledger.owed.store(static_cast<std::uint32_t>(port.pending_length_));
    }
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return errno;
    Descriptor mine(ends[0]);
    Descriptor theirs(ends[1]);
    const Plan plan{::getpid(), static_cast<int>(port.handle_), theirs.get(), MaxDescriptors(),
                    shared};
    ForkHandlerInstalled();  // before the fork, which its own child then runs too

    pid_t guardian = -1;
    int error = 0;
    {
        const SignalsHeld held;
        guardian = ::fork();
        if (guardian == 0) Guard(plan);
        error = errno;
    }
    if (guardian < 0) return error;
    theirs.Reset();
    if (!AwaitReady(mine.get())) {
        AwaitGone(mine.get(), guardian);
        return ECHILD;
    }

    port_ = &port;
    shared_ = mapping.Release();
    link_ = mine.Release();
    process_ = guardian;
    owner_ = plan.parent;
    port.ledger_ = &shared->ledger;
    port.guardian_ = this;
    slot_ = Register(link_, &port.ledger_);
    return 0;
}

void Guardian::Dismiss() {
    if (port_ == nullptr) return;
    if (owner_ != ::getpid()) {
        Forget();
        return;
    }
    const char dismiss = kDismiss;
    ::send(link_, &dismiss, 1, MSG_NOSIGNAL);
    Detach();
    AwaitGone(link_, process_);
    ::close(link_);
    ::munmap(shared_, sizeof(Shared));
    link_ = process_ = owner_ = -1;
    shared_ = nullptr;
}

bool Guardian::Watching() const {
    if (port_ == nullptr || owner_ != ::getpid()) return false;
    // The guardian's end of the link closes only when it exits.
    pollfd entry{link_, POLLIN, 0};
    return !(::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)));
}

void Guardian::Detach() {
    if (slot_ >= 0) {
        registry[slot_].ledger.store(nullptr);
        registry[slot_].link.store(-1);
        slot_ = -1;
    }
    port_->ledger_ = nullptr;
    port_->guardian_ = nullptr;
    port_ = nullptr;
}

void Guardian::Forget() {
    // The fork handler closed a registered link and unlinked its port already.
    if (slot_ < 0) ::close(link_);
    slot_ = -1;
    port_->ledger_ = nullptr;
    port_->guardian_ = nullptr;
    port_ = nullptr;
    ::munmap(shared_, sizeof(Shared));
    link_ = process_ = owner_ = -1;
    shared_ = nullptr;
}

}  // namespace Brivane::HardwareAPI::Platform
