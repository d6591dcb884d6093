#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include "opus_ogg/io_error.h"

namespace opus_ogg {

// A write-only file with an 8192-byte buffer in front of it; the page writer's sink.
//
// Failure rules, so that a retry neither repeats nor skips bytes:
// - flush() drops from the buffer exactly the bytes the file accepted; on an error
//   the bytes it did not take stay buffered, in order, for the next flush.
// - write_some() takes a leading part of its data and says how much, or fails having
//   taken nothing. Small data goes into the buffer whole; it fails when the buffer had
//   to be written out first and that failed. Data of CAPACITY bytes or more bypasses
//   the buffer, and may be taken in part.
// Destruction writes out the buffer, ignoring errors, and closes the file.
//
// The descriptor does not block: an output without room (a pipe nobody drains) is waited
// for, but once it has taken nothing for STALL_LIMIT it counts as stopped, and every later
// write fails at once. A stuck output must not hold up the end of a recording.
class BufferedFile {
public:
    using Error = IoError;
    static constexpr std::size_t CAPACITY = 8192;
    static constexpr std::chrono::milliseconds STALL_LIMIT{1000};

    // Opens path for one recording, creating it (mode 0666 before umask), without ever
    // waiting: a pipe that no process reads is refused. A regular file or pipe is taken
    // with an exclusive lock first, refused if another process holds one, and a regular
    // file is emptied only once it is ours.
    static std::expected<BufferedFile, IoError> open_for_recording(const std::string& path);

    // Takes ownership of fd, which must be open for writing.
    explicit BufferedFile(int fd);
    BufferedFile(BufferedFile&& other) noexcept;
    BufferedFile& operator=(BufferedFile&& other) noexcept;
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;
    ~BufferedFile();

    std::expected<std::size_t, IoError> write_some(std::span<const std::uint8_t> data);
    std::expected<void, IoError> flush();

    // Fails unless path still names the file written to (removed or replaced files do not).
    std::expected<void, IoError> check_named_by(const std::string& path) const;

    std::size_t buffered() const { return buffer_.size(); }

private:
    void close_now() noexcept;
    // Writes as much of data as the file takes; the count, and why it stopped early.
    std::pair<std::size_t, std::expected<void, IoError>> write_through(
        std::span<const std::uint8_t> data);

    int fd_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool stalled_ = false;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace opus_ogg
