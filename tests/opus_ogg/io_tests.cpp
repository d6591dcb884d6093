// The writer's file and error layers: buffering, failure and retry, display texts.

#include <gtest/gtest.h>
#include <opus.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <cerrno>
#include <csignal>
#include <numeric>
#include <thread>

#include <fcntl.h>

#include "opus_ogg/buffered_file.h"
#include "opus_ogg/encoder.h"
#include "tests/support/ogg_reading.h"

namespace opus_ogg {
namespace {

using test_support::read_bytes;

std::vector<std::uint8_t> counting_bytes(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
    return bytes;
}

off_t file_size(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

TEST(Errors, DisplayTexts) {
    EXPECT_EQ(IoError::from_os(ENOENT).to_string(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::write_zero().to_string(), "failed to write the buffered data");

    auto refused = Encoder::create(12345, 2, OPUS_APPLICATION_AUDIO);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().to_string(), "opus_encoder_create: invalid argument");
    EXPECT_EQ(Encoder::Error("opus_encode", OPUS_ALLOC_FAIL).code(), OPUS_ALLOC_FAIL);
    EXPECT_EQ(Encoder::Error("opus_encode", 0).code(), -8);
    EXPECT_EQ(Encoder::Error("opus_encode", -9).to_string(), "opus_encode: unknown error");

    auto encoder = Encoder::create(48000, 1, OPUS_APPLICATION_AUDIO);
    ASSERT_TRUE(encoder.has_value());
    std::vector<std::uint8_t> out(4000);
    EXPECT_GT(encoder->encode(std::vector<std::int16_t>(960, 100), out).value_or(0), 0u);
    auto odd = encoder->encode(std::vector<std::int16_t>(100), out);  // no Opus frame size
    ASSERT_FALSE(odd.has_value());
    EXPECT_EQ(odd.error().to_string(), "opus_encode: invalid argument");
}

TEST(BufferedFile, BatchesSmallWritesAndPassesLargeOnes) {
    test_support::TempDir dir;
    const std::string path = dir.file("out.bin");
    const auto data = counting_bytes(3 * BufferedFile::CAPACITY);
    {
        auto file = BufferedFile::open_for_recording(path);
        ASSERT_TRUE(file.has_value());
        ASSERT_EQ(file->write_some(std::span(data).first(5000)).value_or(0), 5000u);
        EXPECT_EQ(file_size(path), 0);
        // Does not fit beside the 5000: those go out first, these stay.
        ASSERT_EQ(file->write_some(std::span(data).subspan(5000, 4000)).value_or(0), 4000u);
        EXPECT_EQ(file_size(path), 5000);
        // A whole buffer's worth or more goes straight to the file, after the 4000.
        ASSERT_EQ(
            file->write_some(std::span(data).subspan(9000, BufferedFile::CAPACITY)).value_or(0),
            BufferedFile::CAPACITY);
        EXPECT_EQ(file_size(path), 9000 + static_cast<off_t>(BufferedFile::CAPACITY));
        ASSERT_EQ(
            file->write_some(std::span(data).subspan(9000 + BufferedFile::CAPACITY)).value_or(0),
            data.size() - 9000 - BufferedFile::CAPACITY);
        // The buffer moves with the file and is written out once, on destruction.
        BufferedFile moved = std::move(*file);
    }
    EXPECT_EQ(read_bytes(path), data);
}

TEST(BufferedFile, FailedFlushKeepsExactlyTheUnwrittenBytes) {
    test_support::TempDir dir;
    const std::string path = dir.file("limited.bin");
    const auto data = counting_bytes(3000);

    // A file size limit makes the file take 100 bytes and refuse the rest.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto saved_signal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto file = BufferedFile::open_for_recording(path);
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->write_some(data).value_or(0), data.size());
    auto failed = file->flush();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, saved_signal);

    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().to_string(), IoError::from_os(EFBIG).to_string());
    EXPECT_EQ(file->buffered(), 2900u);
    ASSERT_TRUE(file->flush());
    EXPECT_EQ(read_bytes(path), data);  // nothing repeated, nothing skipped
}

TEST(BufferedFile, FullDeviceFailsAtFlushAndKeepsTheBuffer) {
    auto file = BufferedFile::open_for_recording("/dev/full");
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->write_some(counting_bytes(100)).value_or(0), 100u);
    auto flushed = file->flush();
    ASSERT_FALSE(flushed.has_value());
    EXPECT_EQ(flushed.error().to_string(), "No space left on device (os error 28)");
    // Later writes are kept for when the device takes data again.
    EXPECT_TRUE(file->write_some(counting_bytes(BufferedFile::CAPACITY)).has_value());
    EXPECT_EQ(file->buffered(), 100u + BufferedFile::CAPACITY);
}

// A pipe whose reader does not read: writes never wait, and are kept up to the backlog
// limit, then refused (the refused data is the caller's to keep). The flush waits for the
// reader however long it is away (the bound is its caller's) and it gets every byte kept;
// meanwhile the output is seen to owe them.
TEST(BufferedFile, PipeWithoutRoomKeepsTheBacklogUpToItsLimit) {
    test_support::TempDir dir;
    const std::string path = dir.file("out.fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    auto file = BufferedFile::open_for_recording(path);
    ASSERT_TRUE(file.has_value());
    const auto room = static_cast<std::size_t>(::fcntl(reader, F_SETPIPE_SZ, 4096));
    const auto data = counting_bytes(65536);
    std::size_t kept = 0;
    for (; file->write_some(data); kept += data.size()) {}
    EXPECT_GT(kept + data.size(), BufferedFile::BACKLOG_LIMIT);
    EXPECT_LE(kept, BufferedFile::BACKLOG_LIMIT + room);

    std::vector<std::uint8_t> got(kept + 1);
    std::size_t taken = 0;
    std::jthread drain([&] {
        // Away for longer than any stall the flush could have allowed on its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_GT(file->progress()->asked.load(), file->progress()->taken.load());
        for (ssize_t n; taken < kept;) {
            if ((n = ::read(reader, got.data() + taken, got.size() - taken)) > 0) taken += n;
        }
    });
    const auto flushed = file->flush();
    drain.join();
    ::close(reader);
    ASSERT_TRUE(flushed.has_value()) << flushed.error().to_string();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + 65536));
    EXPECT_EQ(file->progress()->taken.load(), kept);
    EXPECT_EQ(file->progress()->asked.load(), kept) << "owes bytes after a whole flush";
}

}  // namespace
}  // namespace opus_ogg
