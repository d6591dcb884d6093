#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include "opus_ogg/io_error.h"

namespace opus_ogg {

// A write-only file with an 8192-byte buffer in front of it; the page writer's sink.
//
// Writing while recording never waits for the output. What the output cannot take at once
// (a pipe whose reader pauses, a full disk, a pipe whose reader has not come yet) stays in
// memory, in order, and goes out at the next write; only past BACKLOG_LIMIT is new data
// refused. So:
// - write_some() takes all of its data, or fails having taken nothing (the backlog is full,
//   or the output failed for good: another process holds it, or a late pipe turned out to
//   be another file). Refused data is the caller's to keep or to drop.
// - flush() writes out the whole backlog, waiting for room for as long as it takes: how
//   long a stalled output may hold up the end is the caller's to bound (progress() says
//   whether the output owes anything and whether it moves). An error leaves the untaken
//   bytes buffered, in order, so a retry neither repeats nor skips any.
// Destruction gives the output what it takes without waiting and closes the file.
class BufferedFile {
public:
    using Error = IoError;
    // Bytes of output that count as one write.
    static constexpr std::size_t CAPACITY = 8192;
    // Encoded audio held for an output that cannot take it yet: about 11 minutes of the
    // densest stereo audio at the encoder's default rate of about 100 kbit/s.
    static constexpr std::size_t BACKLOG_LIMIT = 8 * 1024 * 1024;
    static constexpr const char* BEHIND_TEXT =
        "the output fell more than 8 MiB behind the recording; audio was dropped";

    // What the output has been asked to take and what it has taken, in bytes since the
    // open; readable from any thread. The output owes bytes while `asked` is ahead of
    // `taken`: a write is under way, or the output refused part of one (a full pipe).
    struct OutputProgress {
        std::atomic<std::uint64_t> asked{0};
        std::atomic<std::uint64_t> taken{0};
    };
    using Progress = std::shared_ptr<const OutputProgress>;

    // Opens path for one recording, creating it (mode 0666 before umask), without ever
    // waiting: a pipe that no process reads yet is opened once a reader has come (at a
    // later write or flush). A regular file or pipe is taken with an exclusive lock
    // first, refused if another process holds one, and a regular file is emptied only once
    // it is ours.
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

    // Fails unless path still names the file written (removed or replaced files do not).
    // A pipe's or device's name may go once it is open: its data reaches its reader.
    std::expected<void, IoError> check_named_by(const std::string& path) const;

    std::size_t buffered() const { return buffer_.size() - head_; }
    Progress progress() const { return progress_; }

private:
    // A pipe whose reader has not come yet: its path and what it was when we looked.
    struct AwaitedPipe {
        std::string path;
        dev_t device;
        ino_t inode;
    };
    explicit BufferedFile(AwaitedPipe pipe);

    void close_now() noexcept;
    // Opens an awaited pipe once it has a reader. True when there is a descriptor to write.
    std::expected<bool, IoError> connect();
    // Writes what the output takes of the backlog now. EAGAIN is no error.
    std::expected<void, IoError> write_backlog();
    void note_written(std::size_t bytes);
    bool keep(std::span<const std::uint8_t> data);

    int fd_ = -1;
    bool regular_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::optional<AwaitedPipe> awaited_;
    // An output that can never take data again; every write fails with it.
    std::optional<IoError> failed_;
    std::vector<std::uint8_t> buffer_;
    std::size_t head_ = 0;  // bytes at the front of buffer_ already written
    std::shared_ptr<OutputProgress> progress_ = std::make_shared<OutputProgress>();
};

}  // namespace opus_ogg
