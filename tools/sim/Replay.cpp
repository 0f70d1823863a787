// The replay: the device side of a recorded session, played on a pseudo-terminal. The
// program's bytes are compared with the recorded requests as they come; each chunk the device
// sent is played at its recorded distance from the last request before it, scaled by the
// speed. After the first difference the program hears nothing more.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Decode.h"
#include "Modes.h"
#include "Pty.h"

namespace Brivane::Sim {

namespace {

using Trace::Direction;
using Clock = std::chrono::steady_clock;

// A recorded distance in time at the replay's speed. One that the clock cannot hold (a slow
// replay of a late chunk) becomes a century: as good as never, and no overflow.
Clock::duration Scaled(std::uint64_t us, double speed) {
    constexpr double kCenturyUs = 100 * 365.25 * 24 * 3600 * 1e6;
    const double scaled = std::min(static_cast<double>(us) / speed, kCenturyUs);
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(scaled));
}

// What a frame is, for a message: its bytes and its meaning.
std::string Shown(const Trace::Session& session, const Trace::Frame& frame) {
    return Trace::Hex(session.Data(frame), frame.length) + " (" + Trace::Describe(session, frame) +
           ")";
}

}  // namespace

int RunReplay(const std::string& path, double speed, const sigset_t& wait_mask,
              const volatile std::sig_atomic_t& stop) {
    Trace::Trace trace;
    Trace::Error error;
    if (!Trace::ReadFile(path, trace, error)) {
        std::fprintf(stderr, "brivane-sim: %s:%zu: %s\n", path.c_str(), error.line,
                     error.what.c_str());
        return 2;
    }
    const Trace::Session session = Trace::Decode(trace);
    const std::vector<std::uint8_t>& expected = session.to_device;
    // Where each chunk to the device ends in the stream of requests.
    std::vector<std::size_t> request_end(trace.chunks.size(), 0);
    std::size_t requests_bytes = 0;
    for (std::size_t i = 0; i < trace.chunks.size(); ++i) {
        if (trace.chunks[i].direction == Direction::ToDevice) {
            requests_bytes += trace.chunks[i].length;
        }
        request_end[i] = requests_bytes;
    }
    std::size_t requests = 0;
    for (const Trace::Frame& frame : session.frames) {
        requests += frame.direction == Direction::ToDevice;
    }

    Pty pty;
    std::printf("%s\n", pty.Path().c_str());
    std::fflush(stdout);

    std::vector<std::uint8_t> received;
    received.reserve(expected.size());
    bool differs = false;
    bool started = false;
    std::size_t next = 0;  // the next chunk to wait for or play
    std::size_t played = 0;
    // Of the chunk being played, what the line has taken. The rest waits for room, inside
    // the wait for the program, so that its leaving and a stop signal are still seen.
    std::size_t sent = 0;
    bool full = false;            // the line took only part of it
    Clock::time_point anchor{};   // when the last request was whole
    std::uint64_t anchor_us = 0;  // and when it was in the recording
    Clock::time_point last_arrival{};

    const auto report_difference = [&](std::size_t at) {
        differs = true;
        std::size_t index = session.frames.size();
        for (std::size_t i = 0; i < session.frames.size(); ++i) {
            const Trace::Frame& frame = session.frames[i];
            if (frame.direction == Direction::ToDevice && at < frame.offset + frame.length) {
                index = i;
                break;
            }
        }
        if (index == session.frames.size()) {
            std::fprintf(stderr,
                         "brivane-sim: replay: frame %zu differs: expected nothing more, "
                         "got %s\n",
                         index + 1, Trace::Hex(received.data() + at, received.size() - at).c_str());
        } else {
            const Trace::Frame& frame = session.frames[index];
            const std::size_t end = std::min(received.size(), frame.offset + frame.length);
            std::fprintf(stderr, "brivane-sim: replay: frame %zu differs: expected %s, got %s\n",
                         index + 1, Shown(session, frame).c_str(),
                         Trace::Hex(received.data() + frame.offset, end - frame.offset).c_str());
        }
        std::fprintf(stderr, "brivane-sim: replay: silent from here\n");
    };

    std::uint8_t chunk[4096];
    while (stop == 0) {
        const auto now = Clock::now();
        // Everything that is due: requests that have come whole, answers whose time is up.
        std::optional<Clock::time_point> wake;
        while (started && !differs && next < trace.chunks.size()) {
            const Trace::Chunk& recorded = trace.chunks[next];
            if (recorded.direction == Direction::ToDevice) {
                if (received.size() < request_end[next]) break;
                anchor = last_arrival;
                anchor_us = recorded.time_us;
                ++next;
                continue;
            }
            const auto due = anchor + Scaled(recorded.time_us - anchor_us, speed);
            if (due > now) {
                wake = due;
                break;
            }
            const ssize_t n =
                ::write(pty.Master(), trace.Data(recorded) + sent, recorded.length - sent);
            if (n < 0 && errno != EAGAIN && errno != EINTR) Fail("write to the pseudo-terminal");
            if (n > 0) sent += static_cast<std::size_t>(n);
            full = sent < recorded.length;
            if (full) break;
            sent = 0;
            ++played;
            ++next;
        }

        timespec wait{};
        if (wake) {
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - Clock::now());
            const long long ns = left.count() > 0 ? left.count() : 0;
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        // After a difference the program hears nothing more, the rest of a chunk neither.
        const bool waiting_for_room = full && !differs;
        pollfd fds[2] = {
            {pty.Master(), static_cast<short>(POLLIN | (waiting_for_room ? POLLOUT : 0)), 0},
            {pty.Watch(), POLLIN, 0}};
        if (::ppoll(fds, 2, wake ? &wait : nullptr, &wait_mask) < 0) {
            if (errno == EINTR) continue;
            Fail("ppoll");
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t got = ::read(pty.Master(), chunk, sizeof chunk);
            if (got > 0 && !differs) {
                last_arrival = Clock::now();
                const std::size_t from = received.size();
                received.insert(received.end(), chunk, chunk + got);
                for (std::size_t at = from; at < received.size(); ++at) {
                    if (at >= expected.size() || received[at] != expected[at]) {
                        report_difference(at);
                        break;
                    }
                }
            }
        }
        if (fds[1].revents & POLLIN) {
            pty.CountUsers();
            if (!started && pty.Opened()) {
                started = true;
                anchor = Clock::now();
                anchor_us = trace.chunks.empty() ? 0 : trace.chunks.front().time_us;
            }
            if (pty.Opened() && pty.Users() == 0) break;
        }
    }

    // The requests that came whole and the same, up to the first that did not; and the
    // first request frame that did not.
    std::size_t matched = 0;
    std::size_t first_missing = 0;
    for (std::size_t i = 0; i < session.frames.size(); ++i) {
        const Trace::Frame& frame = session.frames[i];
        if (frame.direction != Direction::ToDevice) continue;
        bool same = frame.offset + frame.length <= received.size();
        for (std::size_t k = frame.offset; same && k < frame.offset + frame.length; ++k) {
            same = received[k] == expected[k];
        }
        if (!same) {
            first_missing = i + 1;
            break;
        }
        ++matched;
    }
    std::size_t device_chunks = 0;
    for (const Trace::Chunk& recorded : trace.chunks) {
        device_chunks += recorded.direction == Direction::FromDevice;
    }
    std::fprintf(stderr,
                 "brivane-sim: replay: %zu of %zu requests matched, %zu of %zu device chunks "
                 "played\n",
                 matched, requests, played, device_chunks);
    if (stop != 0) std::fprintf(stderr, "brivane-sim: replay: stopped (%s)\n", strsignal(stop));
    if (full) {
        std::fprintf(stderr,
                     "brivane-sim: replay: the device chunk of line %zu was cut short: %zu of %zu "
                     "bytes sent\n",
                     trace.chunks[next].line, sent, trace.chunks[next].length);
    }
    if (differs) return 1;
    if (matched < requests) {
        std::fprintf(stderr, "brivane-sim: replay: %s before frame %zu\n",
                     stop != 0 ? "stopped" : "the program left", first_missing);
        return 1;
    }
    return 0;
}

}  // namespace Brivane::Sim
