// brivane-sim: plays a Kalvar arm or a Handle grip on a pseudo-terminal, so that the library,
// the examples and the benchmarks run without hardware.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "Modes.h"
#include "Pty.h"
#include "Sim.h"

namespace {

using namespace Brivane::Sim;

const char kUsage[] = R"(usage: brivane-sim [options]

Plays a Kalvar arm or a Handle grip on a pseudo-terminal. The first line of standard output
is the port to open (for example /dev/pts/3). The simulator answers on it until it receives
SIGTERM or SIGINT, or, with --once, until the port has been opened and closed again.

  --device arm|grip     the device to play (default arm)
  --latency-us N        answer N microseconds after a command has arrived (default 0)
  --serial N            device number, 1 to 65535; identifiers follow from it (default 1)
  --rate HZ             grip: status messages per second once woken (default 100;
                        0: only on request)
  --count N             grip: end the status stream after N messages (default: no end)
  --status fixed|stuffed
                        grip: status in the fixed 21-byte form with user data, or as the
                        byte-stuffed status block (default fixed)
  --fault MODE          misbehave: silent (never answer), wrong-code (every message carries
                        the wrong header code), truncate (only the first half of each
                        message is sent), drop-every=N (every Nth message is not sent)
  --hand push=FX,FY,FZ  arm: a hand pushes the end effector with this force, in newtons in
                        the arm's frame (a wall is felt when a servo pushes back)
  --hand hold=K[,D]     arm: a hand holds the end effector where it starts, as a spring of
                        K N/m with D N·s/m of damping (default 2 sqrt(K) / 10); both may be
                        given
  --once                exit when the last user of the port has closed it
  --proxy PORT --record FILE
                        instead of playing a device, relay between the real PORT (opened
                        as the library opens it) and the pseudo-terminal, and record both
                        directions in the trace FILE; ends when the program closes the
                        port, on SIGINT or SIGTERM (status 0), or when PORT goes away (1).
                        The trace is written beside FILE and takes its name when it ends,
                        whole; FILE must not exist (a symlink neither)
  --overwrite           with --record: replace an existing FILE (a symlink itself, never
                        the file it points to)
  --replay FILE         instead of playing a device, play the device side of the session
                        recorded in FILE: each request the program sends must be the
                        recorded one, and is answered with the recorded bytes after the
                        recorded time; the first difference is reported, and the program
                        hears nothing more. Ends when the program closes the port: status
                        0 when every recorded request came, 1 otherwise, 2 when FILE is
                        no trace
  --speed X             replay: divide the recorded times by X (default 1)
  --exit-with-parent    exit when the process that started the simulator ends
  --help                this text

The port stays usable across opens. When its last user closes it, the device goes back to
its power-on state: what it sent that was not read is discarded, and the grip stops
streaming until it is woken again. This happens a moment after the close, as the simulator
learns of it; a user that reopens the port at once may still meet old bytes.

On exit, one line on standard error counts the commands, the messages sent and the status
messages dropped because the host did not read them in time.
)";

enum class Fault { None, Silent, WrongCode, Truncate, Drop };

struct Options {
    bool grip = false;
    long latency_us = 0;
    unsigned long serial = 1;
    double rate = 100.0;
    unsigned long long count = 0;
    StatusForm form = StatusForm::Fixed;
    Fault fault = Fault::None;
    unsigned long drop_every = 0;
    bool once = false;
    bool exit_with_parent = false;
    std::string proxy;
    std::string record;
    bool overwrite = false;
    std::string replay;
    double speed = 1.0;
    Hand hand;
};

[[noreturn]] void Usage(const char* problem) {
    std::fprintf(stderr, "brivane-sim: %s\n\n%s", problem, kUsage);
    std::exit(2);
}

// Numbers separated by commas, each finite: how many there were, or -1.
int ParseNumbers(const std::string& text, double* values, int most) {
    int count = 0;
    std::size_t at = 0;
    while (count < most) {
        const std::size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? comma : comma - at);
        char* end = nullptr;
        errno = 0;
        values[count] = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || errno != 0 || !std::isfinite(values[count])) return -1;
        ++count;
        if (comma == std::string::npos) return count;
        at = comma + 1;
    }
    return -1;
}

bool ParseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno == 0 && value >= 0;
}

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const auto equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto flag = [&] {
            if (equals != std::string::npos) Usage(("no value expected for " + name).c_str());
        };
        const auto text = [&]() -> const std::string& {
            if (equals == std::string::npos) {
                if (i + 1 >= argc) Usage(("missing value for " + name).c_str());
                value = argv[++i];
            }
            return value;
        };
        const auto number = [&](double max) {
            double n = 0;
            if (!ParseNumber(text(), n) || n > max) {
                Usage(("bad value for " + name + ": " + value).c_str());
            }
            return n;
        };

        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (name == "--device") {
            const std::string& device = text();
            if (device != "arm" && device != "grip") Usage("--device is arm or grip");
            options.grip = device == "grip";
        } else if (name == "--latency-us") {
            options.latency_us = static_cast<long>(number(10e6));
        } else if (name == "--hand") {
            const std::string& hand = text();
            double values[3] = {};
            if (hand.rfind("push=", 0) == 0 && ParseNumbers(hand.substr(5), values, 3) == 3) {
                options.hand.push = {values[0], values[1], values[2]};
            } else if (const int n = hand.rfind("hold=", 0) == 0
                                         ? ParseNumbers(hand.substr(5), values, 2)
                                         : -1;
                       n >= 1 && values[0] >= 0 && (n == 1 || values[1] >= 0)) {
                options.hand.stiffness = values[0];
                options.hand.damping = n == 2 ? values[1] : 0.2 * std::sqrt(values[0]);
            } else {
                Usage(("bad value for --hand: " + hand).c_str());
            }
        } else if (name == "--serial") {
            options.serial = static_cast<unsigned long>(number(65535));
            if (options.serial == 0) Usage("--serial is 1 to 65535");
        } else if (name == "--rate") {
            options.rate = number(1e6);
        } else if (name == "--count") {
            options.count = static_cast<unsigned long long>(number(1e15));
        } else if (name == "--status") {
            const std::string& form = text();
            if (form != "fixed" && form != "stuffed") Usage("--status is fixed or stuffed");
            options.form = form == "fixed" ? StatusForm::Fixed : StatusForm::Stuffed;
        } else if (name == "--fault") {
            const std::string mode = text();
            if (mode == "silent") {
                options.fault = Fault::Silent;
            } else if (mode == "wrong-code") {
                options.fault = Fault::WrongCode;
            } else if (mode == "truncate") {
                options.fault = Fault::Truncate;
            } else if (mode.rfind("drop-every=", 0) == 0) {
                double every = 0;
                if (!ParseNumber(mode.substr(11), every) || every < 1) Usage("bad drop-every=N");
                options.fault = Fault::Drop;
                options.drop_every = static_cast<unsigned long>(every);
            } else {
                Usage(("unknown fault mode " + mode).c_str());
            }
        } else if (name == "--proxy") {
            options.proxy = text();
        } else if (name == "--record") {
            options.record = text();
        } else if (name == "--overwrite") {
            flag();
            options.overwrite = true;
        } else if (name == "--replay") {
            options.replay = text();
        } else if (name == "--speed") {
            options.speed = number(1e6);
            if (!(options.speed > 0)) Usage("--speed is above 0");
        } else if (name == "--once") {
            flag();
            options.once = true;
        } else if (name == "--exit-with-parent") {
            flag();
            options.exit_with_parent = true;
        } else {
            Usage(("unknown option " + name).c_str());
        }
    }
    if (options.proxy.empty() != options.record.empty()) {
        Usage("--proxy and --record go together");
    }
    if (options.overwrite && options.record.empty()) Usage("--overwrite goes with --record");
    const Hand& hand = options.hand;
    if (options.grip && (hand.push != Hand{}.push || hand.stiffness > 0 || hand.damping > 0)) {
        Usage("--hand goes with --device arm");
    }
    if (!options.proxy.empty() && !options.replay.empty()) {
        Usage("--proxy and --replay exclude each other");
    }
    return options;
}

volatile sig_atomic_t stop_signal = 0;
void OnStopSignal(int signal_number) {
    stop_signal = signal_number;
}

// The device's end of the line: the pseudo-terminal, what it still has to send, and who
// has the port open.
class Line {
  public:
    Line(const Options& options, std::unique_ptr<Model> model)
        : options_(options), model_(std::move(model)) {}

    const std::string& Path() const { return pty_.Path(); }

    // Serves the port until a stop signal, or with --once until the last user has left.
    void Run(const sigset_t& wait_mask) {
        std::vector<Bytes> messages;
        while (stop_signal == 0 && !(options_.once && pty_.Opened() && pty_.Users() == 0)) {
            auto now = Clock::now();
            while (!pending_.empty() && pending_.front().first <= now) {
                out_.insert(out_.end(), pending_.front().second.begin(),
                            pending_.front().second.end());
                pending_.pop_front();
            }
            messages.clear();
            model_->Stream(now, messages);
            for (Bytes& message : messages) {
                ++streamed_;
                // A host that does not read loses status messages, as it would from a device
                // with a small send buffer; answers are never dropped.
                if (out_.size() > kBacklog) {
                    ++dropped_;
                    continue;
                }
                Send(std::move(message), now);
            }
            Flush();

            std::optional<Clock::time_point> wake = model_->NextStream();
            if (!pending_.empty() && (!wake || pending_.front().first < *wake)) {
                wake = pending_.front().first;
            }
            timespec wait{};
            if (wake) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::max(*wake - Clock::now(), Clock::duration::zero()));
                wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
                wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
            }
            pollfd fds[2] = {
                {pty_.Master(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                {pty_.Watch(), POLLIN, 0}};
            if (::ppoll(fds, 2, wake ? &wait : nullptr, &wait_mask) < 0) {
                if (errno == EINTR) continue;
                Fail("ppoll");
            }
            if ((fds[1].revents & POLLIN) && pty_.CountUsers() > 0) PowerOn();
            if (fds[0].revents & POLLIN) Receive();
        }
    }

    void Report() const {
        std::fprintf(
            stderr,
            "brivane-sim: %llu commands, %llu messages sent (%llu streamed), %llu dropped\n",
            commands_, sent_, streamed_, dropped_);
    }

  private:
    static constexpr std::size_t kBacklog = 4096;

    void Receive() {
        std::uint8_t chunk[4096];
        for (;;) {
            const ssize_t got = ::read(pty_.Master(), chunk, sizeof chunk);
            if (got <= 0) break;
            in_.insert(in_.end(), chunk, chunk + got);
        }
        const auto now = Clock::now();
        std::vector<Bytes> answers;
        std::size_t at = 0;
        while (at < in_.size()) {
            const long length = model_->FrameLength(in_.data() + at, in_.size() - at);
            if (length < 0) {
                model_->Unknown(in_[at++], answers);
                continue;
            }
            if (length == 0 || static_cast<std::size_t>(length) > in_.size() - at) break;
            ++commands_;
            model_->Command(in_.data() + at, static_cast<std::size_t>(length), now, answers);
            at += static_cast<std::size_t>(length);
        }
        in_.erase(in_.begin(), in_.begin() + static_cast<long>(at));
        for (Bytes& answer : answers) Send(std::move(answer), now);
        Flush();
    }

    // Applies the fault mode, then sends at once or after the latency.
    void Send(Bytes message, Clock::time_point now) {
        ++messages_;
        switch (options_.fault) {
            case Fault::None:
                break;
            case Fault::Silent:
                return;
            case Fault::WrongCode:
                ++message[0];
                break;
            case Fault::Truncate:
                message.resize(std::max<std::size_t>(1, message.size() / 2));
                break;
            case Fault::Drop:
                if (messages_ % options_.drop_every == 0) return;
                break;
        }
        ++sent_;
        if (options_.latency_us == 0) {
            out_.insert(out_.end(), message.begin(), message.end());
        } else {
            pending_.emplace_back(now + std::chrono::microseconds(options_.latency_us),
                                  std::move(message));
        }
    }

    void Flush() {
        while (!out_.empty()) {
            const ssize_t n = ::write(pty_.Master(), out_.data(), out_.size());
            if (n <= 0) return;  // full: the rest waits for POLLOUT
            out_.erase(out_.begin(), out_.begin() + n);
        }
    }

    // The last user has gone: what the device had still to say is lost, as on a real port.
    void PowerOn() {
        pty_.Clear();
        in_.clear();
        out_.clear();
        pending_.clear();
        model_->Reset();
    }

    const Options& options_;
    std::unique_ptr<Model> model_;
    Pty pty_;
    Bytes in_;
    Bytes out_;
    std::deque<std::pair<Clock::time_point, Bytes>> pending_;
    unsigned long long commands_ = 0, messages_ = 0, sent_ = 0, streamed_ = 0, dropped_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    if (options.exit_with_parent) {
        const pid_t parent = ::getppid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) return 0;  // it is gone already
    }
    ::prctl(PR_SET_TIMERSLACK, 1UL);  // latencies of a millisecond are meant as such

    // Stop signals are taken only while waiting, so that none is missed between checks.
    sigset_t stops, wait_mask;
    sigemptyset(&stops);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
    sigprocmask(SIG_BLOCK, &stops, &wait_mask);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&wait_mask, s);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!options.proxy.empty())
        return RunProxy(options.proxy, options.record, options.overwrite, wait_mask, stop_signal);
    if (!options.replay.empty())
        return RunReplay(options.replay, options.speed, wait_mask, stop_signal);

    const auto serial = static_cast<std::uint16_t>(options.serial);
    std::unique_ptr<Model> model;
    if (options.grip) {
        model = std::make_unique<GripModel>(serial, options.form, options.rate, options.count);
    } else {
        model = std::make_unique<ArmModel>(serial, options.hand);
    }
    Line line(options, std::move(model));
    std::printf("%s\n", line.Path().c_str());
    std::fflush(stdout);

    line.Run(wait_mask);
    line.Report();
    return 0;
}
