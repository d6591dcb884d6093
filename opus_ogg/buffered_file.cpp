#include "opus_ogg/buffered_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "util/write_all.h"

namespace opus_ogg {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* NO_READER_TEXT = "the output is a pipe that no process reads";
constexpr const char* LOCKED_TEXT = "the output file is in use: another process holds its lock";
constexpr const char* STALLED_TEXT = "the output stopped taking data (nothing written for 1 s)";
constexpr const char* UNNAMED_TEXT = "the output file was removed or replaced while recording";

// Closes a descriptor on every early return of the open.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

bool is_fifo(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// Waits until fd has room or give_up passes; false when it passed. An error or hang-up
// counts as room: the write then says what is wrong.
bool wait_for_room(int fd, Clock::time_point give_up) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - Clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return true;
    }
}

}  // namespace

std::expected<BufferedFile, IoError> BufferedFile::open_for_recording(const std::string& path) {
    // No O_TRUNC: the file may be another recording's until the lock says otherwise.
    // O_NONBLOCK makes a pipe without a reader fail here instead of waiting for one.
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        if (error == ENXIO && is_fifo(path)) return std::unexpected(IoError::other(NO_READER_TEXT));
        return std::unexpected(IoError::from_os(error));
    }
    FdGuard guard{fd};

    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::unexpected(IoError::from_os(errno));
    // Devices are shared by nature (/dev/null); files and pipes hold one recording.
    if (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            // A file system without locks still records; only a holder refuses.
            if (errno == EWOULDBLOCK) return std::unexpected(IoError::other(LOCKED_TEXT));
        }
    }
    if (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
        return std::unexpected(IoError::from_os(errno));
    }
    return BufferedFile(guard.release());
}

BufferedFile::BufferedFile(int fd) : fd_(fd) {
    struct stat info {};
    if (::fstat(fd_, &info) == 0) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
    buffer_.reserve(CAPACITY);
}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      device_(other.device_),
      inode_(other.inode_),
      stalled_(other.stalled_),
      buffer_(std::move(other.buffer_)) {
    other.buffer_.clear();
}

BufferedFile& BufferedFile::operator=(BufferedFile&& other) noexcept {
    if (this != &other) {
        close_now();
        fd_ = std::exchange(other.fd_, -1);
        device_ = other.device_;
        inode_ = other.inode_;
        stalled_ = other.stalled_;
        buffer_ = std::move(other.buffer_);
        other.buffer_.clear();
    }
    return *this;
}

BufferedFile::~BufferedFile() { close_now(); }

void BufferedFile::close_now() noexcept {
    if (fd_ < 0) return;
    (void)flush();
    ::close(fd_);
    fd_ = -1;
}

std::pair<std::size_t, std::expected<void, IoError>> BufferedFile::write_through(
    std::span<const std::uint8_t> data) {
    if (stalled_) return {0, std::unexpected(IoError::other(STALLED_TEXT))};
    std::size_t written = 0;
    auto give_up = Clock::now() + STALL_LIMIT;
    while (written < data.size()) {
        const auto [taken, error] =
            util::write_all(fd_, data.data() + written, data.size() - written);
        written += taken;
        if (taken > 0) give_up = Clock::now() + STALL_LIMIT;
        if (written == data.size()) break;
        if (error == 0) return {written, std::unexpected(IoError::write_zero())};
        if (error != EAGAIN && error != EWOULDBLOCK)
            return {written, std::unexpected(IoError::from_os(error))};
        if (!wait_for_room(fd_, give_up)) {
            stalled_ = true;
            return {written, std::unexpected(IoError::other(STALLED_TEXT))};
        }
    }
    return {written, {}};
}

std::expected<void, IoError> BufferedFile::flush() {
    auto [written, result] = write_through(buffer_);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(written));
    return result;
}

std::expected<std::size_t, IoError> BufferedFile::write_some(std::span<const std::uint8_t> data) {
    if (data.empty()) return 0;
    if (buffer_.size() + data.size() > CAPACITY) {
        if (auto flushed = flush(); !flushed) return std::unexpected(flushed.error());
    }
    if (data.size() >= CAPACITY) {
        auto [written, result] = write_through(data);
        // What the file took counts; why it stopped shows again at the next write.
        if (written > 0 || result) return written;
        return std::unexpected(result.error());
    }
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    return data.size();
}

std::expected<void, IoError> BufferedFile::check_named_by(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || info.st_dev != device_ || info.st_ino != inode_) {
        return std::unexpected(IoError::other(UNNAMED_TEXT));
    }
    return {};
}

}  // namespace opus_ogg
