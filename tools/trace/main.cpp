// brivane-trace: reads a trace recorded by brivane-sim --proxy and prints the session one
// frame a line, or its summary, or plots its answer times.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "Decode.h"
#include "Follow.h"
#include "Hdf5Writer.h"
#include "Plotter.h"
#include "Table.h"

namespace {

using namespace Brivane::Trace;

const char kUsage[] = R"(usage: brivane-trace [options] FILE

Prints the session a trace holds, one line per frame: its number, the time in seconds, the
direction ('>' to the device, '<' from it) and what the frame is: the module method that
sends such a request with its arguments, an answer's fields and the device's answer time,
the grip's messages, or junk.

  --summary          counts per message, exchange rate, answer times, time-outs and junk
                     instead of the frames
  --plot OUT.png     draw the session instead: an arm's position (each axis in its own
                     panel), commanded force, velocity, loop period and answer time, or a
                     grip's quaternion, hall level and message interval (needs
                     matplotlib). The image is drawn beside OUT.png and takes its name when
                     whole; OUT.png must not exist (a symlink neither)
  --csv OUT.csv      write the session as one table instead: a row per arm request with its
                     answer's fields, or per grip message; OUT.csv must not exist either
  --hdf5 OUT.h5      write the session's tables to an HDF5 file instead, laid out as
                     brivane.Recorder lays out a trace (needs h5py); OUT.h5 must not exist
  --overwrite        with --plot, --csv or --hdf5: replace an existing file (a symlink
                     itself, never the file it points to)
  --follow           draw FILE live in a window while brivane-sim --proxy records it, until
                     the proxy ends or the window is closed; with --plot, draw the last view
                     into OUT.png instead of a window
  --seconds S        with --follow: the latest S seconds are shown (default 10)
  --late T           with --summary or --plot: count the answers that came later than T
                     after their request (500us, 1ms, 0.002s; a bare number is seconds),
                     beside the time-outs, which never came; --plot marks them
  --size W,H         with --plot or --follow: the figure's width and height in inches
                     (default 10 wide, 3.5 in print style, and a height for its panels)
  --dpi N            with --plot or --follow: dots per inch of a PNG (default 100, 300 in
                     print style)
  --style S          with --plot or --follow: screen (default) or print: a one-column figure
                     of a paper, on white, small text, no title
  --window T0,T1     with --plot: only the time from T0 to T1 (seconds from the trace's start)
  --panels P,...     with --plot or --follow: these panels, in this order: the arm's x, y, z,
                     force, velocity, period, answer_us; the grip's quaternion, hall, period,
                     answer_us
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

// Numbers separated by commas, `count` of them, each finite; false for what is not that.
bool ParseNumbers(const std::string& text, std::size_t count, std::vector<double>& numbers) {
    numbers.clear();
    const char* at = text.c_str();
    for (;;) {
        char* end = nullptr;
        const double value = std::strtod(at, &end);
        if (end == at || !std::isfinite(value)) return false;
        numbers.push_back(value);
        if (*end == '\0') return numbers.size() == count;
        if (*end != ',' || numbers.size() == count) return false;
        at = end + 1;
    }
}

// `text` as a JSON string.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The figure's options as the plotter takes them, a JSON object of those given; the
// plotter checks what only it knows (the device's panels) and what it says of the rest.
struct FigureOptions {
    std::vector<double> size, window;
    std::string dpi, style, panels;

    std::string Json() const {
        std::string json;
        auto add = [&json](const char* key, const std::string& value) {
            json += (json.empty() ? "{" : ", ") + JsonString(key) + ": " + value;
        };
        auto pair = [](const std::vector<double>& values) {
            char text[80];
            std::snprintf(text, sizeof text, "[%.17g, %.17g]", values[0], values[1]);
            return std::string(text);
        };
        if (!size.empty()) add("size", pair(size));
        if (!window.empty()) add("window", pair(window));
        if (!dpi.empty()) add("dpi", dpi);
        if (!style.empty()) add("style", JsonString(style));
        if (!panels.empty()) {
            std::string list;
            std::size_t start = 0;
            for (;;) {
                const std::size_t comma = panels.find(',', start);
                list +=
                    (list.empty() ? "[" : ", ") + JsonString(panels.substr(start, comma - start));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            add("panels", list + "]");
        }
        return json.empty() ? json : json + "}";
    }
};

// A duration such as 500us, 1ms or 0.002s (a bare number is seconds), in microseconds; false
// for what is none, or not above 0 and below an hour.
bool ParseDuration(const std::string& text, double& us) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return false;
    const std::string unit(end);
    const double scale = unit == "us" || unit == "µs"  ? 1.0
                         : unit == "ms"                ? 1e3
                         : unit == "s" || unit.empty() ? 1e6
                                                       : 0.0;
    us = value * scale;
    return scale > 0.0 && us > 0.0 && us < 3.6e9;
}

void PrintSummary(const Trace& trace, const Session& session, double late_us) {
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
    if (late_us > 0.0) {
        const auto late = std::count_if(answer_times.begin(), answer_times.end(),
                                        [&](std::uint64_t us) { return us > late_us; });
        std::printf("late answers (over %g µs): %zu\n", late_us, static_cast<std::size_t>(late));
    }
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

// The plotter (plots.py and plot.py), or the HDF5 writer (plots.py, recording.py and
// hdf5.py), in the Debian interpreter, which has matplotlib from python3-matplotlib and h5py
// from python3-h5py, unless BRIVANE_PYTHON names another; fed the tables on a pipe.
class Script {
  public:
    explicit Script(const char* script = kPlotter) : script_(script) {}
    ~Script() { Finish(); }
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    // Draws into `image` in `format`, or in a window that follows the tables when `image` is
    // empty.
    bool Start(const std::string& image, const std::string& format, const std::string& late_us = "",
               const std::string& options = "") {
        const char* python = std::getenv("BRIVANE_PYTHON");
        if (python == nullptr || *python == '\0') {
            python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        }
        int fds[2];
        if (::pipe(fds) != 0) return false;
        child_ = ::fork();
        if (child_ < 0) return false;
        if (child_ == 0) {
            ::dup2(fds[0], 0);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execlp(python, python, "-c", script_, image.c_str(), format.c_str(), late_us.c_str(),
                     options.c_str(), static_cast<char*>(nullptr));
            std::fprintf(stderr, "brivane-trace: cannot run %s: %s\n", python,
                         std::strerror(errno));
            ::_exit(127);
        }
        ::close(fds[0]);
        // A plotter that ends before it has read everything (no interpreter, no matplotlib,
        // a window closed) is told by the failed write and its exit status, not by SIGPIPE,
        // which would end this process without a word.
        ::signal(SIGPIPE, SIG_IGN);
        data_ = ::fdopen(fds[1], "w");
        if (data_ == nullptr) {
            ::close(fds[1]);
            return false;
        }
        const std::string layout = LayoutJson() + "\n";
        return std::fputs(layout.c_str(), data_) >= 0;
    }

    // The trace's comments, which the HDF5 writer takes before the tables.
    bool SendComments(const std::vector<std::string>& comments) {
        if (data_ == nullptr) return false;
        std::fprintf(data_, "comments %zu\n", comments.size());
        for (const std::string& comment : comments) std::fprintf(data_, "%s\n", comment.c_str());
        return std::ferror(data_) == 0;
    }

    // False when the plotter takes no more: it has ended.
    bool Send(const Tables& tables) {
        if (data_ == nullptr) return false;
        std::fprintf(data_, "tables %s %zu %zu %zu %zu %zu %zu %zu\n", DeviceName(tables.device),
                     tables.frames, tables.exchanges.size(), tables.messages.size(),
                     tables.junk_frames, tables.junk_bytes, tables.unanswered, tables.unmatched);
        // An empty table has no data() to hand fwrite, which takes none.
        if (!tables.exchanges.empty()) {
            std::fwrite(tables.exchanges.data(), sizeof(ExchangeRow), tables.exchanges.size(),
                        data_);
        }
        if (!tables.messages.empty()) {
            std::fwrite(tables.messages.data(), sizeof(MessageRow), tables.messages.size(), data_);
        }
        return std::fflush(data_) == 0;
    }

    // Ends the input and waits for the plotter: true when it drew and ended well.
    bool Finish() {
        if (child_ <= 0) return false;
        if (data_ != nullptr) std::fclose(data_);
        data_ = nullptr;
        int status = 0;
        while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
        child_ = 0;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    const char* script_;
    pid_t child_ = 0;
    std::FILE* data_ = nullptr;
};

volatile std::sig_atomic_t g_stop = 0;

void OnStop(int) {
    g_stop = 1;
}

// Follows the trace that brivane-sim --proxy records for `target`, showing its latest
// seconds in the plotter, until the proxy ends, the window is closed or a stop signal comes.
int Follow(const std::string& target, Device device, double seconds, Script& plotter,
           NewFile* image, const std::string& image_name, const std::string& options) {
    Follower follower;
    std::string problem;
    if (!follower.Open(target, problem)) {
        std::fprintf(stderr, "brivane-trace: %s\n", problem.c_str());
        return 1;
    }
    if (!plotter.Start(image ? image->Temporary() : "", ImageFormat(image_name), "", options)) {
        std::fprintf(stderr, "brivane-trace: the plotter did not start\n");
        return 1;
    }
    std::fprintf(stderr, "brivane-trace: following %s\n", follower.Source().c_str());
    struct sigaction stop {};
    stop.sa_handler = OnStop;
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    constexpr timespec kRefresh{0, 200 * 1000 * 1000};
    bool shown = false, open = true;
    std::size_t first = 0, last = 0;  // the frames shown
    while (open && g_stop == 0) {
        Error error;
        const Follower::Read read = follower.Poll(error);
        if (read == Follower::Read::Bad) {
            std::fprintf(stderr, "brivane-trace: %s:%zu: %s\n", follower.Source().c_str(),
                         error.line, error.what.c_str());
            return 1;
        }
        if (read != Follower::Read::Nothing || !shown) {
            // The device, once told, stays: a window of the latest bytes may not tell it.
            if (device == Device::Unknown && !follower.Window().chunks.empty()) {
                device = Guess(follower.Window());
            }
            Session session = Decode(follower.Window(), device);
            if (follower.Trim(session, seconds)) session = Decode(follower.Window(), device);
            first = follower.FramesDropped() + 1;
            last = follower.FramesDropped() + session.frames.size();
            open = plotter.Send(Tabulate(session, first));
            shown = true;
        }
        if (read == Follower::Read::Ended) break;
        ::nanosleep(&kRefresh, nullptr);
    }
    const bool drawn = plotter.Finish();
    if (image == nullptr) return drawn ? 0 : 1;  // a window: the plotter said what failed
    if (!drawn) {
        std::fprintf(stderr, "brivane-trace: the plot was not drawn\n");
        return 1;
    }
    if (!image->Commit(problem)) {
        std::fprintf(stderr, "brivane-trace: %s\n", problem.c_str());
        return 1;
    }
    std::fprintf(stderr, "brivane-trace: drew %s (frames %zu to %zu)\n", image_name.c_str(), first,
                 last);
    return 0;
}

// Writes the tables as CSV into `out`, made whole beside it first.
bool WriteCsvFile(const Tables& tables, NewFile& out, const std::string& name) {
    std::string problem;
    std::FILE* file = ::fdopen(::dup(out.Fd()), "w");
    const bool written = file != nullptr && WriteCsv(tables, file);
    if (file != nullptr) std::fclose(file);
    if (!written) {
        std::fprintf(stderr, "brivane-trace: cannot write %s: %s\n", name.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (!out.Commit(problem)) {
        std::fprintf(stderr, "brivane-trace: %s\n", problem.c_str());
        return false;
    }
    return true;
}

int Run(int argc, char** argv) {
    std::string path, plot, csv, hdf5;
    bool summary = false, overwrite = false, follow = false;
    double seconds = 10.0;
    double late_us = 0.0;
    std::string late_text;
    FigureOptions figure;
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
        } else if (arg == "--follow") {
            follow = true;
        } else if (arg == "--plot" || arg == "--device" || arg == "--csv" || arg == "--hdf5" ||
                   arg == "--seconds" || arg == "--late" || arg == "--size" || arg == "--dpi" ||
                   arg == "--style" || arg == "--window" || arg == "--panels") {
            if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
            const std::string value = argv[++i];
            std::vector<double> numbers;
            if (arg == "--size") {
                if (!ParseNumbers(value, 2, figure.size)) {
                    Usage("--size is a width and a height in inches, such as 3.5,2.5");
                }
            } else if (arg == "--window") {
                if (!ParseNumbers(value, 2, figure.window)) {
                    Usage("--window is a start and an end in seconds, such as 0.5,1.5");
                }
            } else if (arg == "--dpi") {
                if (!ParseNumbers(value, 1, numbers)) Usage("--dpi is a number of dots per inch");
                figure.dpi = value;
            } else if (arg == "--style") {
                figure.style = value;
            } else if (arg == "--panels") {
                figure.panels = value;
            } else if (arg == "--seconds") {
                char* end = nullptr;
                seconds = std::strtod(value.c_str(), &end);
                if (end == value.c_str() || *end != '\0' || !(seconds > 0.0 && seconds <= 3600.0)) {
                    Usage("--seconds is a number of seconds, above 0 and up to 3600");
                }
            } else if (arg == "--late") {
                if (!ParseDuration(value, late_us)) {
                    Usage("--late is a time such as 500us, 1ms or 0.002s, above 0");
                }
                char text[32];
                std::snprintf(text, sizeof text, "%.17g", late_us);
                late_text = text;
            } else if (arg == "--plot") {
                plot = value;
            } else if (arg == "--csv") {
                csv = value;
            } else if (arg == "--hdf5") {
                hdf5 = value;
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
    if (overwrite && plot.empty() && csv.empty() && hdf5.empty()) {
        Usage("--overwrite goes with --plot, --csv or --hdf5");
    }
    if (follow && (summary || !csv.empty() || !hdf5.empty())) {
        Usage("--follow draws: no --summary, --csv or --hdf5");
    }
    if (late_us > 0.0 && (follow || (!summary && plot.empty()))) {
        Usage("--late goes with --summary or --plot, not --follow");
    }
    if ((!plot.empty() && (plot == csv || plot == hdf5)) || (!csv.empty() && csv == hdf5)) {
        Usage("--plot, --csv and --hdf5 name the same file");
    }
    const std::string options = figure.Json();
    if (!options.empty() && !follow && plot.empty()) {
        Usage("--size, --dpi, --style, --window and --panels go with --plot or --follow");
    }
    if (!figure.window.empty() && follow) Usage("--window goes with --plot, not --follow");

    // Before anything is printed: an output that must not replace a file is no output at all.
    NewFile image, table, store;
    std::string problem;
    if ((!plot.empty() && !image.Create(plot, overwrite, problem)) ||
        (!csv.empty() && !table.Create(csv, overwrite, problem)) ||
        (!hdf5.empty() && !store.Create(hdf5, overwrite, problem))) {
        std::fprintf(stderr, "brivane-trace: %s\n", problem.c_str());
        return 1;
    }
    Script plotter;
    if (follow) {
        return Follow(path, device, seconds, plotter, plot.empty() ? nullptr : &image, plot,
                      options);
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
        PrintSummary(trace, session, late_us);
    } else if (plot.empty() && csv.empty() && hdf5.empty()) {
        PrintFrames(session);
    }
    std::fflush(stdout);
    if (plot.empty() && csv.empty() && hdf5.empty()) return 0;
    const Tables tables = Tabulate(session);
    if (!csv.empty()) {
        if (!WriteCsvFile(tables, table, csv)) return 1;
        std::fprintf(stderr, "brivane-trace: wrote %s\n", csv.c_str());
    }
    if (!hdf5.empty()) {
        Script writer(kHdf5Writer);
        if (!writer.Start(store.Temporary(), "") || !writer.SendComments(trace.comments) ||
            !writer.Send(tables) || !writer.Finish()) {
            std::fprintf(stderr, "brivane-trace: %s was not written\n", hdf5.c_str());
            return 1;
        }
        if (!store.Commit(problem)) {
            std::fprintf(stderr, "brivane-trace: %s\n", problem.c_str());
            return 1;
        }
        std::fprintf(stderr, "brivane-trace: wrote %s\n", hdf5.c_str());
    }
    if (!plot.empty()) {
        if (!plotter.Start(image.Temporary(), ImageFormat(plot), late_text, options) ||
            !plotter.Send(tables) || !plotter.Finish()) {
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

}  // namespace

int main(int argc, char** argv) {
    // A trace too large for this machine's memory is an error like any other, not an abort.
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "brivane-trace: out of memory: the trace is too large to be held\n");
        return 1;
    }
}
