#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Brivane::Sim {

void Fail(const char* what) {
    std::fprintf(stderr, "brivane-sim: %s failed: %s\n", what, std::strerror(errno));
    std::exit(1);
}

Pty::Pty() {
    termios raw{};
    cfmakeraw(&raw);
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) Fail("openpty");
    path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE) < 0) {
        Fail("inotify");
    }
}

Pty::~Pty() {
    for (const int fd : {watch_, slave_, master_}) {
        if (fd >= 0) ::close(fd);
    }
}

int Pty::CountUsers() {
    int left = 0;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t got = ::read(watch_, events, sizeof events);
        if (got <= 0) return left;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->mask & IN_OPEN) {
                ++users_;
                opened_ = true;
            } else if ((event->mask & IN_CLOSE) && users_ > 0 && --users_ == 0) {
                ++left;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void Pty::Clear() {
    ::tcflush(slave_, TCIFLUSH);
    // The library keeps other users out with TIOCEXCL, which outlives its close while this
    // end holds the slave open.
    ::ioctl(slave_, TIOCNXCL);
}

std::size_t WriteAll(int fd, const void* data, std::size_t n, int quit) {
    const auto* at = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t written = ::write(fd, at + done, n - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN) break;
        pollfd entries[2] = {{fd, POLLOUT, 0}, {quit, POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0 && errno != EINTR) break;
        if (entries[1].revents != 0) break;
    }
    return done;
}

}  // namespace Brivane::Sim
