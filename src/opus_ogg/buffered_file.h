#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "src/opus_ogg/io_error.h"

namespace opus_ogg {

// A write-only file with an 8192-byte buffer in front of it; the page writer's sink.
//
// Failure rules, so that a retry neither repeats nor skips bytes:
// - flush() drops from the buffer exactly the bytes the file accepted; on an error
//   the bytes it did not take stay buffered, in order, for the next flush.
// - write_all() either takes all of its data (into the buffer or straight into the
//   file) or fails. It fails without taking anything when the buffer had to be
//   written out first and that failed. Data of CAPACITY bytes or more bypasses the
//   buffer; if that direct write fails, the prefix the file accepted is in the
//   file and the rest is not taken. This is the only loss the caller can see, and
//   it is reported.
// Destruction writes out the buffer, ignoring errors, and closes the file.
class BufferedFile {
public:
    using Error = IoError;
    static constexpr std::size_t CAPACITY = 8192;

    // Opens path write-only, creating it (mode 0666 before umask) or truncating it.
    static std::expected<BufferedFile, IoError> open_truncated(const std::string& path);

    // Takes ownership of fd, which must be open for writing.
    explicit BufferedFile(int fd);
    BufferedFile(BufferedFile&& other) noexcept;
    BufferedFile& operator=(BufferedFile&& other) noexcept;
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;
    ~BufferedFile();

    std::expected<void, IoError> write_all(std::span<const std::uint8_t> data);
    std::expected<void, IoError> flush();

    std::size_t buffered() const { return buffer_.size(); }

private:
    void close_now() noexcept;

    int fd_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace opus_ogg
