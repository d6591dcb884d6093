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

constexpr int OPEN_FLAGS = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr const char* NO_READER_TEXT = "the output is a pipe that no process reads";
constexpr const char* LOCKED_TEXT = "the output file is in use: another process holds its lock";
constexpr const char* UNNAMED_TEXT = "the output file was removed or replaced while recording";

// Closes a descriptor on every early return of the open.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// Devices are shared by nature (/dev/null); files and pipes hold one recording. A file
// system without locks still records; only a holder refuses.
std::expected<void, IoError> take_lock(int fd, const struct stat& info) {
    if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) return {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return std::unexpected(IoError::other(LOCKED_TEXT));
    }
    return {};
}

// Waits until fd has room. An error or hang-up counts as room: the write then says what
// is wrong.
void wait_for_room(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {}
}

}  // namespace

std::expected<BufferedFile, IoError> BufferedFile::open_for_recording(const std::string& path) {
    // No O_TRUNC: the file may be another recording's until the lock says otherwise.
    // O_NONBLOCK makes a pipe without a reader fail here instead of waiting for one.
    int fd;
    do {
        fd = ::open(path.c_str(), OPEN_FLAGS | O_CREAT, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        if (error == ENXIO && ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) {
            return BufferedFile(AwaitedPipe{path, info.st_dev, info.st_ino});
        }
        return std::unexpected(IoError::from_os(error));
    }
    FdGuard guard{fd};

    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::unexpected(IoError::from_os(errno));
    if (auto locked = take_lock(fd, info); !locked) return std::unexpected(locked.error());
    if (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
        return std::unexpected(IoError::from_os(errno));
    }
    return BufferedFile(guard.release());
}

BufferedFile::BufferedFile(int fd) : fd_(fd) {
    struct stat info {};
    if (::fstat(fd_, &info) == 0) {
        regular_ = S_ISREG(info.st_mode);
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
    buffer_.reserve(CAPACITY);
}

BufferedFile::BufferedFile(AwaitedPipe pipe)
    : device_(pipe.device), inode_(pipe.inode), awaited_(std::move(pipe)) {
    buffer_.reserve(CAPACITY);
}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      regular_(other.regular_),
      device_(other.device_),
      inode_(other.inode_),
      awaited_(std::exchange(other.awaited_, std::nullopt)),
      failed_(std::move(other.failed_)),
      buffer_(std::move(other.buffer_)),
      head_(std::exchange(other.head_, 0)),
      progress_(std::move(other.progress_)) {
    other.buffer_.clear();
}

BufferedFile& BufferedFile::operator=(BufferedFile&& other) noexcept {
    if (this != &other) {
        close_now();
        fd_ = std::exchange(other.fd_, -1);
        regular_ = other.regular_;
        device_ = other.device_;
        inode_ = other.inode_;
        awaited_ = std::exchange(other.awaited_, std::nullopt);
        failed_ = std::move(other.failed_);
        buffer_ = std::move(other.buffer_);
        head_ = std::exchange(other.head_, 0);
        progress_ = std::move(other.progress_);
        other.buffer_.clear();
    }
    return *this;
}

BufferedFile::~BufferedFile() { close_now(); }

void BufferedFile::close_now() noexcept {
    if (fd_ < 0) return;
    (void)write_backlog();
    ::close(fd_);
    fd_ = -1;
}

std::expected<bool, IoError> BufferedFile::connect() {
    if (failed_) return std::unexpected(*failed_);
    if (!awaited_) return fd_ >= 0;
    int fd;
    do {
        fd = ::open(awaited_->path.c_str(), OPEN_FLAGS);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENXIO) return false;
        return std::unexpected(IoError::from_os(errno));
    }
    FdGuard guard{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::unexpected(IoError::from_os(errno));
    // The reader came to another file put in the pipe's place; ours has none.
    if (info.st_dev != device_ || info.st_ino != inode_) {
        failed_ = IoError::other(UNNAMED_TEXT);
    } else if (auto locked = take_lock(fd, info); !locked) {
        failed_ = locked.error();
    }
    if (failed_) return std::unexpected(*failed_);
    fd_ = guard.release();
    awaited_.reset();
    return true;
}

void BufferedFile::note_written(std::size_t bytes) {
    head_ += bytes;
    progress_->taken.fetch_add(bytes, std::memory_order_relaxed);
    if (head_ == buffer_.size()) {
        buffer_.clear();
        head_ = 0;
    } else if (head_ >= CAPACITY && 2 * head_ >= buffer_.size()) {
        // Written bytes are dropped from the front once they are most of the buffer, so a
        // backlog written out in small pieces is moved a bounded number of times.
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

std::expected<void, IoError> BufferedFile::write_backlog() {
    auto connected = connect();
    if (!connected) return std::unexpected(connected.error());
    if (!*connected || buffered() == 0) return {};
    progress_->asked.store(progress_->taken.load(std::memory_order_relaxed) + buffered(),
                           std::memory_order_relaxed);
    const auto [taken, error] = util::write_all(fd_, buffer_.data() + head_, buffered());
    note_written(taken);
    if (buffered() == 0 || error == EAGAIN || error == EWOULDBLOCK) return {};
    if (error == 0) return std::unexpected(IoError::write_zero());
    return std::unexpected(IoError::from_os(error));
}

bool BufferedFile::keep(std::span<const std::uint8_t> data) {
    if (buffered() + data.size() > BACKLOG_LIMIT) return false;
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    return true;
}

std::expected<void, IoError> BufferedFile::flush() {
    for (;;) {
        if (auto written = write_backlog(); !written) return written;
        if (awaited_) return std::unexpected(IoError::other(NO_READER_TEXT));
        if (buffered() == 0) return {};
        wait_for_room(fd_);
    }
}

std::expected<std::size_t, IoError> BufferedFile::write_some(std::span<const std::uint8_t> data) {
    if (data.empty()) return 0;
    if (failed_) return std::unexpected(*failed_);
    // An output that fails now may take the data later: it is kept either way, and a
    // lasting failure shows at flush().
    if (buffered() + data.size() > CAPACITY) (void)write_backlog();
    if (failed_) return std::unexpected(*failed_);
    if (!keep(data)) return std::unexpected(IoError::other(BEHIND_TEXT));
    if (buffered() >= CAPACITY) (void)write_backlog();
    return data.size();
}

std::expected<void, IoError> BufferedFile::check_named_by(const std::string& path) const {
    if (!regular_) return {};
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || info.st_dev != device_ || info.st_ino != inode_) {
        return std::unexpected(IoError::other(UNNAMED_TEXT));
    }
    return {};
}

}  // namespace opus_ogg
