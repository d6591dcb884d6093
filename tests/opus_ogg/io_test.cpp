// The writer's file and error layers: buffering, failure and retry, display texts.

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <numeric>
#include <opus.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "src/opus_ogg/buffered_file.h"
#include "src/opus_ogg/encoder.h"
#include "src/opus_ogg/io_error.h"
#include "tests/opus_ogg/ogg_reading.h"

namespace opus_ogg {
namespace {

using opus_ogg_test::read_bytes;
using opus_ogg_test::TempDir;

std::vector<std::uint8_t> counting_bytes(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

off_t file_size(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

TEST(IoError, DisplayTexts) {
    EXPECT_EQ(IoError::from_os(ENOENT).to_string(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::from_os(ENOENT).os_code(), ENOENT);
    EXPECT_EQ(IoError::write_zero().to_string(), "failed to write the buffered data");
    EXPECT_EQ(IoError::other("unsupported input rate 0").to_string(), "unsupported input rate 0");

    const IoError wrapped = IoError::wrap(IoError::wrap(IoError::from_os(ENOSPC)));
    EXPECT_EQ(wrapped.kind(), IoErrorKind::Other);
    EXPECT_EQ(wrapped.os_code(), std::nullopt);
    EXPECT_EQ(wrapped.to_string(), "No space left on device (os error 28)");
    ASSERT_NE(wrapped.source(), nullptr);
    ASSERT_NE(wrapped.source()->source(), nullptr);
    EXPECT_EQ(wrapped.source()->source()->os_code(), ENOSPC);
}

TEST(EncoderError, CodesAndTexts) {
    auto refused = Encoder::create(12345, 2, OPUS_APPLICATION_AUDIO);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().code(), OPUS_BAD_ARG);
    EXPECT_EQ(refused.error().to_string(), "opus_encoder_create: invalid argument");

    EXPECT_EQ(Encoder::Error("opus_encode", OPUS_ALLOC_FAIL).code(), OPUS_ALLOC_FAIL);
    EXPECT_EQ(Encoder::Error("opus_encode", 0).code(), -8);
    EXPECT_EQ(Encoder::Error("opus_encode", -9).code(), -8);
    EXPECT_EQ(Encoder::Error("opus_encode", 3).to_string(), "opus_encode: unknown error");

    auto encoder = Encoder::create(48000, 1, OPUS_APPLICATION_AUDIO);
    ASSERT_TRUE(encoder.has_value());
    std::vector<std::uint8_t> out(4000);
    auto whole = encoder->encode(std::vector<std::int16_t>(960, 100), out);
    ASSERT_TRUE(whole.has_value());
    EXPECT_GT(*whole, 0u);
    // 100 samples is no Opus frame size.
    auto odd = encoder->encode(std::vector<std::int16_t>(100), out);
    ASSERT_FALSE(odd.has_value());
    EXPECT_EQ(odd.error().to_string(), "opus_encode: invalid argument");
}

TEST(BufferedFile, BatchesSmallWritesAndPassesLargeOnes) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    std::vector<std::uint8_t> expected;
    {
        auto file = BufferedFile::open_truncated(path);
        ASSERT_TRUE(file.has_value());
        const auto small = counting_bytes(5000);
        ASSERT_TRUE(file->write_all(small));
        expected.insert(expected.end(), small.begin(), small.end());
        EXPECT_EQ(file_size(path), 0);

        // Does not fit beside the 5000: the buffer goes out first, then this is kept.
        const auto more = counting_bytes(4000, 7);
        ASSERT_TRUE(file->write_all(more));
        expected.insert(expected.end(), more.begin(), more.end());
        EXPECT_EQ(file_size(path), 5000);
        EXPECT_EQ(file->buffered(), 4000u);

        const auto large = counting_bytes(BufferedFile::CAPACITY * 2, 3);
        ASSERT_TRUE(file->write_all(large));
        expected.insert(expected.end(), large.begin(), large.end());
        EXPECT_EQ(file_size(path), static_cast<off_t>(expected.size()));
        EXPECT_EQ(file->buffered(), 0u);

        ASSERT_TRUE(file->write_all(counting_bytes(10)));
        expected.resize(expected.size() + 10);
        std::iota(expected.end() - 10, expected.end(), std::uint8_t{0});

        // Moving hands the buffer over; only the new owner writes it out.
        BufferedFile moved = std::move(*file);
        EXPECT_EQ(moved.buffered(), 10u);
    }
    EXPECT_EQ(read_bytes(path), expected);

    // Opening again truncates.
    { ASSERT_TRUE(BufferedFile::open_truncated(path).has_value()); }
    EXPECT_EQ(file_size(path), 0);
}

TEST(BufferedFile, FailedFlushKeepsOnlyTheUnwrittenBytes) {
    TempDir dir;
    const std::string path = dir.file("limited.bin");
    const auto data = counting_bytes(3000, 1);

    // A file size limit makes the file take 100 bytes and then refuse the rest.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto saved_signal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    auto file = BufferedFile::open_truncated(path);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(file->write_all(data));
    auto failed = file->flush();

    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, saved_signal);

    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().os_code(), EFBIG);
    EXPECT_EQ(file->buffered(), 2900u);
    EXPECT_EQ(file_size(path), 100);

    // Retrying sends the rest exactly once.
    ASSERT_TRUE(file->flush());
    EXPECT_EQ(file->buffered(), 0u);
    EXPECT_EQ(read_bytes(path), data);
}

TEST(BufferedFile, DeviceFullFailsAtFlushNotBefore) {
    auto file = BufferedFile::open_truncated("/dev/full");
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(file->write_all(counting_bytes(100)));
    auto flushed = file->flush();
    ASSERT_FALSE(flushed.has_value());
    EXPECT_EQ(flushed.error().to_string(), "No space left on device (os error 28)");
    EXPECT_EQ(file->buffered(), 100u);

    // A write that needs the buffer emptied first fails and takes nothing.
    auto overflow = file->write_all(counting_bytes(BufferedFile::CAPACITY));
    ASSERT_FALSE(overflow.has_value());
    EXPECT_EQ(overflow.error().os_code(), ENOSPC);
    EXPECT_EQ(file->buffered(), 100u);
}

TEST(BufferedFile, OpenFailureIsTheSystemError) {
    auto missing = BufferedFile::open_truncated("/nonexistent-vmah-dir/out.opus");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace opus_ogg
