#include "Follow.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Brivane::Trace {

namespace {

// The proxy writing `name` for a target whose temporary files are named `hidden`: its PID,
// from LEAD-PID-N.TAIL; 0 for another name.
pid_t WriterOf(const std::string& name, const TemporaryName& hidden) {
    const std::string& lead = hidden.lead;
    const std::string& tail = hidden.tail;
    if (name.size() <= lead.size() + tail.size() || name.compare(0, lead.size(), lead) ||
        name.compare(name.size() - tail.size(), tail.size(), tail)) {
        return 0;
    }
    const std::string middle = name.substr(lead.size(), name.size() - lead.size() - tail.size());
    const std::size_t dash = middle.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == middle.size() ||
        middle.find_first_not_of("0123456789-") != std::string::npos ||
        middle.find('-', dash + 1) != std::string::npos) {
        return 0;
    }
    return static_cast<pid_t>(std::strtol(middle.c_str(), nullptr, 10));
}

bool Alive(pid_t process) {
    return ::kill(process, 0) == 0 || errno == EPERM;
}

}  // namespace

Follower::~Follower() {
    if (fd_ >= 0) ::close(fd_);
}

Writing BeingWritten(const std::string& target) {
    // Named as NewFile names its temporary file.
    const TemporaryName hidden = TemporaryNameOf(target);
    const std::string folder = hidden.folder.empty() ? "." : hidden.folder;
    Writing newest;
    timespec newest_change{};
    if (DIR* listing = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(listing)) {
            const pid_t writer = WriterOf(entry->d_name, hidden);
            struct stat about {};
            const std::string path = hidden.folder + entry->d_name;
            if (writer <= 0 || !Alive(writer) || ::stat(path.c_str(), &about) != 0) continue;
            const timespec changed = about.st_mtim;
            if (newest.path.empty() || changed.tv_sec > newest_change.tv_sec ||
                (changed.tv_sec == newest_change.tv_sec &&
                 changed.tv_nsec > newest_change.tv_nsec)) {
                newest = {path, writer};
                newest_change = changed;
            }
        }
        ::closedir(listing);
    }
    return newest;
}

bool Follower::Open(const std::string& target, std::string& error) {
    target_ = target;
    const Writing writing = BeingWritten(target);
    source_ = writing.path.empty() ? target : writing.path;
    writer_ = writing.writer;
    std::string why;
    int problem = 0;
    fd_ = OpenToRead(source_, why, problem);
    struct stat about {};
    if (fd_ < 0 || ::fstat(fd_, &about) != 0) {
        if (fd_ >= 0) why = std::strerror(errno);
        error = problem == ENOENT
                    ? target + " does not exist, and no brivane-sim --proxy records it"
                    : "cannot read " + source_ + ": " + why;
        return false;
    }
    device_ = about.st_dev;
    inode_ = about.st_ino;
    return true;
}

bool Follower::Gone() const {
    if (writer_ == 0) return true;
    struct stat now {};
    // Renamed onto its target (or dropped) when the session ended.
    if (::stat(source_.c_str(), &now) != 0 || now.st_dev != device_ || now.st_ino != inode_) {
        return true;
    }
    return !Alive(writer_);  // ended without a word
}

Follower::Read Follower::Poll(Error& error) {
    // Whether the writer is gone is asked first: what it wrote before is then all there is.
    const bool ended = Gone();
    const std::size_t before = pending_.size();
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = {lines_, "cannot be read: " + std::string(std::strerror(errno))};
            return Read::Bad;
        }
    }
    const bool more = pending_.size() > before;
    const std::size_t end = pending_.rfind('\n');
    if (end != std::string::npos) {
        const std::string text = pending_.substr(0, end + 1);
        pending_.erase(0, end + 1);
        if (!Take(text, error)) return Read::Bad;
    }
    if (!ended) return more ? Read::More : Read::Nothing;
    if (!pending_.empty() || lines_ == 0) {
        error = {lines_ + 1,
                 pending_.empty() ? "empty: not a trace" : "cut short: the last line has no end"};
        return Read::Bad;
    }
    return Read::Ended;
}

bool Follower::Take(const std::string& text, Error& error) {
    // After the first lines, the rest is read as a trace of its own behind the first line.
    const bool first = lines_ == 0;
    const std::string whole =
        first ? text : std::string(kMagic) + " " + std::to_string(kVersion) + "\n" + text;
    const std::size_t shift = first ? 0 : lines_ - 1;  // from its lines to the file's
    Trace block;
    if (!Parse(whole.data(), whole.size(), block, error)) {
        error.line += shift;
        return false;
    }
    if (!block.chunks.empty() && block.chunks.front().time_us < last_us_) {
        error = {block.chunks.front().line + shift,
                 "time " + std::to_string(block.chunks.front().time_us) +
                     " goes back (the chunk before is at " + std::to_string(last_us_) + ")"};
        return false;
    }
    if (first) window_.comments = std::move(block.comments);
    for (Chunk chunk : block.chunks) {
        chunk.offset += window_.bytes.size();
        chunk.line += shift;
        window_.chunks.push_back(chunk);
    }
    // The offsets above count from the bytes already held, to which these come in order.
    window_.bytes.insert(window_.bytes.end(), block.bytes.begin(), block.bytes.end());
    if (!block.chunks.empty()) last_us_ = block.chunks.back().time_us;
    lines_ += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    return true;
}

bool Follower::Trim(const Session& session, double seconds) {
    if (window_.chunks.empty()) return false;
    const auto span = static_cast<std::uint64_t>(seconds * 1e6);
    const std::uint64_t last = window_.chunks.back().time_us;
    if (last - window_.chunks.front().time_us < span + span / 2) return false;
    // A frame that starts a chunk after every frame before it has ended: from there, the
    // bytes of both directions start at a frame, and no frame is cut. A request, so that no
    // answer is parted from it; a message where a grip's stream has none.
    long ended_by = -1;
    std::size_t start = session.frames.size();
    for (std::size_t i = 0; i < session.frames.size(); ++i) {
        const Frame& frame = session.frames[i];
        if (frame.kind != Kind::Junk && frame.time_us + span >= last &&
            static_cast<long>(frame.chunk) > ended_by) {
            if (start == session.frames.size()) start = i;
            if (frame.kind == Kind::Request) {
                start = i;
                break;
            }
        }
        ended_by = std::max(ended_by, static_cast<long>(frame.last_chunk));
    }
    if (start == session.frames.size()) return false;
    const std::size_t first = session.frames[start].chunk;
    const std::size_t offset = window_.chunks[first].offset;
    Trace kept;
    kept.comments = std::move(window_.comments);
    kept.chunks.assign(window_.chunks.begin() + static_cast<long>(first), window_.chunks.end());
    for (Chunk& chunk : kept.chunks) chunk.offset -= offset;
    kept.bytes.assign(window_.bytes.begin() + static_cast<long>(offset), window_.bytes.end());
    window_ = std::move(kept);
    frames_dropped_ += start;
    return true;
}

}  // namespace Brivane::Trace
