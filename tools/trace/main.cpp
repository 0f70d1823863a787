// brivane-trace: reads a trace recorded by brivane-sim --proxy and prints the session one
// frame a line, or its summary, or plots its answer times.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Decode.h"
#include "Plotter.h"

namespace {

using namespace Brivane::Trace;

const char kUsage[] = R"(usage: brivane-trace [options] FILE

Prints the session a trace holds, one line per frame: its number, the time in seconds, the
direction ('>' to the device, '<' from it) and what the frame is: the module method that
sends such a request with its arguments, an answer's fields and the device's answer time,
the grip's messages, or junk.

  --summary          counts per message, exchange rate, answer times, time-outs and junk
                     instead of the frames
  --plot OUT.png     also draw the answer times and, for an arm, its position over time
                     (needs matplotlib). The image is drawn beside OUT.png and takes its
                     name when whole; OUT.png must not exist (a symlink neither)
  --overwrite        with --plot: replace an existing OUT.png (a symlink itself, never the
                     file it points to)
  --device arm|grip  the device, when the trace's first bytes do not tell
  --help             this text
)";

[[noreturn]] void Usage(const char* problem) {
    std::fprintf(stderr, "brivane-trace: %s\n\n%s", problem, kUsage);
    std::exit(2);
}

void PrintFrames(const Session& session) {
    std::string line;
    for (std::size_t i = 0; i < session.frames.size(); ++i) {
        const Frame& frame = session.frames[i];
        line = Describe(session, frame);
        char tail[96] = "";
        if (frame.kind == Kind::Answer) {
            std::snprintf(tail, sizeof tail, "  (answer to %ld after %llu µs)", frame.partner + 1,
                          static_cast<unsigned long long>(frame.answer_us));
        } else if (frame.timed_out) {
            std::snprintf(tail, sizeof tail, "  (no answer)");
        }
        std::printf("%6zu %11.6f %c %s%s\n", i + 1, static_cast<double>(frame.time_us) / 1e6,
                    frame.direction == Direction::ToDevice ? '>' : '<', line.c_str(), tail);
    }
}

// Nearest rank.
std::uint64_t Percentile(const std::vector<std::uint64_t>& sorted, double fraction) {
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank > 0 ? rank - 1 : 0)];
}

void PrintSummary(const Trace& trace, const Session& session) {
    std::map<std::string, std::size_t> counts;
    std::vector<std::uint64_t> answer_times;
    std::size_t requests = 0, answers = 0, messages = 0, junk = 0, junk_bytes = 0, timeouts = 0;
    std::uint64_t first_request = 0, last_answer = 0;
    for (const Frame& frame : session.frames) {
        ++counts[Name(session, frame)];
        switch (frame.kind) {
            case Kind::Request:
                if (requests++ == 0) first_request = frame.time_us;
                timeouts += frame.timed_out;
                break;
            case Kind::Answer:
                ++answers;
                answer_times.push_back(frame.answer_us);
                last_answer = frame.time_us;
                break;
            case Kind::Message:
                ++messages;
                break;
            case Kind::Junk:
                ++junk;
                junk_bytes += frame.length;
                break;
        }
    }
    const double seconds =
        trace.chunks.empty()
            ? 0.0
            : static_cast<double>(trace.chunks.back().time_us - trace.chunks.front().time_us) / 1e6;
    std::printf("device: %s, %zu chunks over %.3f s\n", DeviceName(session.device),
                trace.chunks.size(), seconds);
    std::printf("frames: %zu (%zu requests, %zu answers, %zu messages, %zu junk)\n",
                session.frames.size(), requests, answers, messages, junk);
    std::printf("messages:\n");
    for (const auto& [name, count] : counts) std::printf("  %-24s %zu\n", name.c_str(), count);
    if (answers > 0 && last_answer > first_request) {
        const double span = static_cast<double>(last_answer - first_request) / 1e6;
        std::printf("exchange rate: %.1f per second (%zu answers in %.3f s)\n",
                    static_cast<double>(answers) / span, answers, span);
    } else {
        std::printf("exchange rate: none\n");
    }
    if (!answer_times.empty()) {
        std::sort(answer_times.begin(), answer_times.end());
        std::printf("answer time µs: p50 %llu, p99 %llu, max %llu\n",
                    static_cast<unsigned long long>(Percentile(answer_times, 0.50)),
                    static_cast<unsigned long long>(Percentile(answer_times, 0.99)),
                    static_cast<unsigned long long>(answer_times.back()));
    } else {
        std::printf("answer time µs: none\n");
    }
    std::printf("time-outs: %zu\n", timeouts);
    std::printf("junk: %zu frames, %zu bytes\n", junk, junk_bytes);
}

// The image format, named by the target's extension (PNG without one): the plotter is told it,
// as the temporary file's name must not decide it.
std::string ImageFormat(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = target.rfind('.');
    if (dot == std::string::npos || dot <= base || dot + 1 == target.size()) return "png";
    return target.substr(dot + 1);
}

// The plotter runs in the Debian interpreter, which has matplotlib from python3-matplotlib,
// unless BRIVANE_PYTHON names another.
bool Plot(const Session& session, const std::string& out, const std::string& format) {
    const char* python = std::getenv("BRIVANE_PYTHON");
    if (python == nullptr || *python == '\0') {
        python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    }
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::dup2(fds[0], 0);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execlp(python, python, "-c", kPlotter, out.c_str(), format.c_str(),
                 static_cast<char*>(nullptr));
        std::fprintf(stderr, "brivane-trace: cannot run %s: %s\n", python, std::strerror(errno));
        ::_exit(127);
    }
    ::close(fds[0]);
    // A plotter that ends before it has read everything (no interpreter, no matplotlib) is
    // told by its exit status, not by SIGPIPE, which would end this process without a word.
    ::signal(SIGPIPE, SIG_IGN);
    std::FILE* data = ::fdopen(fds[1], "w");
    if (data != nullptr) {
        float position[3];
        for (const Frame& frame : session.frames) {
            if (std::ferror(data)) break;
            const double t = static_cast<double>(frame.time_us) / 1e6;
            if (frame.kind == Kind::Answer) {
                std::fprintf(data, "answer %.6f %llu\n", t,
                             static_cast<unsigned long long>(frame.answer_us));
            }
            if (ArmPosition(session, frame, position)) {
                std::fprintf(data, "position %.6f %.7g %.7g %.7g\n", t,
                             static_cast<double>(position[0]), static_cast<double>(position[1]),
                             static_cast<double>(position[2]));
            }
        }
        std::fclose(data);
    } else {
        ::close(fds[1]);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path, plot;
    bool summary = false;
    bool overwrite = false;
    Device device = Device::Unknown;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--summary") {
            summary = true;
        } else if (arg == "--overwrite") {
            overwrite = true;
        } else if (arg == "--plot" || arg == "--device") {
            if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
            const std::string value = argv[++i];
            if (arg == "--plot") {
                plot = value;
            } else if (value == "arm" || value == "grip") {
                device = value == "arm" ? Device::Arm : Device::Grip;
            } else {
                Usage("--device is arm or grip");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            Usage(("unknown option " + arg).c_str());
        } else if (path.empty()) {
            path = arg;
        } else {
            Usage("one trace at a time");
        }
    }
    if (path.empty()) Usage("no trace given");
    if (overwrite && plot.empty()) Usage("--overwrite goes with --plot");

    // Before anything is printed: a plot that must not replace a file is no plot at all.
    NewFile image;
    std::string problem;
    if (!plot.empty() && !image.Create(plot, overwrite, problem)) {
        std::fprintf(stderr, "brivane-trace: %s\n", problem.c_str());
        return 1;
    }

    Trace trace;
    Error error;
    if (!ReadFile(path, trace, error)) {
        std::fprintf(stderr, "brivane-trace: %s:%zu: %s\n", path.c_str(), error.line,
                     error.what.c_str());
        return 1;
    }
    const Session session = Decode(trace, device);
    if (summary) {
        PrintSummary(trace, session);
    } else if (plot.empty()) {
        PrintFrames(session);
    }
    std::fflush(stdout);
    if (!plot.empty()) {
        if (!Plot(session, image.Temporary(), ImageFormat(plot))) {
            std::fprintf(stderr, "brivane-trace: the plot was not drawn\n");
            return 1;
        }
        if (!image.Commit(problem)) {
            std::fprintf(stderr, "brivane-trace: %s\n", problem.c_str());
            return 1;
        }
        std::fprintf(stderr, "brivane-trace: drew %s\n", plot.c_str());
    }
    return 0;
}
