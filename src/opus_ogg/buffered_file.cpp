#include "src/opus_ogg/buffered_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace opus_ogg {

namespace {

// Writes as much of data as the file takes. Returns the number of bytes written
// and, if it stopped early, why.
std::pair<std::size_t, std::expected<void, IoError>> write_some(int fd,
                                                                std::span<const std::uint8_t> data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {written, std::unexpected(IoError::from_os(errno))};
        }
        if (n == 0) return {written, std::unexpected(IoError::write_zero())};
        written += static_cast<std::size_t>(n);
    }
    return {written, {}};
}

}  // namespace

std::expected<BufferedFile, IoError> BufferedFile::open_truncated(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(IoError::from_os(errno));
    return BufferedFile(fd);
}

BufferedFile::BufferedFile(int fd) : fd_(fd) { buffer_.reserve(CAPACITY); }

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), buffer_(std::move(other.buffer_)) {
    other.buffer_.clear();
}

BufferedFile& BufferedFile::operator=(BufferedFile&& other) noexcept {
    if (this != &other) {
        close_now();
        fd_ = std::exchange(other.fd_, -1);
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

std::expected<void, IoError> BufferedFile::flush() {
    auto [written, result] = write_some(fd_, buffer_);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(written));
    return result;
}

std::expected<void, IoError> BufferedFile::write_all(std::span<const std::uint8_t> data) {
    if (buffer_.size() + data.size() > CAPACITY) {
        if (auto flushed = flush(); !flushed) return flushed;
    }
    if (data.size() >= CAPACITY) return write_some(fd_, data).second;
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    return {};
}

}  // namespace opus_ogg
