#include "src/finish_recording.h"
#include "src/writer_slot.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

struct FakeError {
    std::string text;
    std::string to_string() const { return text; }
};

// Counts calls into shared state so the test can watch it after the slot moved it around.
struct FakeWriter {
    struct Log {
        int writes = 0;
        int finalizes = 0;
        std::size_t samples = 0;
        bool throw_on_write = false;
        std::expected<double, FakeError> finalize_result = 1.5;
    };
    Log* log;
    std::expected<void, FakeError> write_pcm_i16(std::span<const std::int16_t> samples) {
        ++log->writes;
        log->samples += samples.size();
        if (log->throw_on_write) throw std::runtime_error("writer broke");
        return std::unexpected(FakeError{"ignored"});
    }
    std::expected<double, FakeError> finalize() {
        ++log->finalizes;
        return log->finalize_result;
    }
};

using Slot = helper::BasicWriterSlot<FakeWriter>;

// Finishes the recording, closing the file before it returns.
template <class Writer>
std::expected<double, std::string> finish(helper::BasicWriterSlot<Writer>& slot) {
    std::optional<Writer> finished;
    return helper::finish_recording(slot, finished);
}
const std::int16_t SAMPLES[4] = {1, 2, 3, 4};

TEST(WriterSlot, TakeLeavesSlotEmptyForLateWrites) {
    FakeWriter::Log log;
    Slot slot(FakeWriter{&log});
    EXPECT_TRUE(slot.write_pcm_i16(SAMPLES));  // a writer error is swallowed
    EXPECT_EQ(finish(slot), 1.5);
    EXPECT_EQ(log.finalizes, 1);
    EXPECT_FALSE(slot.write_pcm_i16(SAMPLES));
    EXPECT_EQ(log.writes, 1);
    // A second stop finds nothing to finalise.
    EXPECT_EQ(finish(slot), 0.0);
    EXPECT_EQ(log.finalizes, 1);
}

// A limit inside a buffer: the writer gets what is left of it, then nothing.
TEST(WriterSlot, HandsOverNoMoreThanItsLimit) {
    FakeWriter::Log log;
    Slot slot(FakeWriter{&log}, 6);
    for (const bool called : {true, true, false}) EXPECT_EQ(slot.write_pcm_i16(SAMPLES), called);
    EXPECT_EQ(log.samples, 6u);
}

TEST(WriterSlot, ExceptionMarksFailedAndStopsEveryUse) {
    FakeWriter::Log log;
    log.throw_on_write = true;
    Slot slot(FakeWriter{&log});
    EXPECT_THROW(slot.write_pcm_i16(SAMPLES), std::runtime_error);
    log.throw_on_write = false;
    EXPECT_FALSE(slot.write_pcm_i16(SAMPLES));
    EXPECT_EQ(log.writes, 1);
    const auto outcome = finish(slot);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error(), helper::WRITER_FAILED_REASON);
    EXPECT_EQ(log.finalizes, 0);
}

TEST(WriterSlot, FailedFinalisationIsNotASuccess) {
    FakeWriter::Log log;
    log.finalize_result = std::unexpected(FakeError{"No space left on device (os error 28)"});
    Slot slot(FakeWriter{&log});
    const auto outcome = finish(slot);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error(), "No space left on device (os error 28)");
}

// The capture queue keeps writing while the main thread takes the writer out: every write
// either reaches the writer before the take or finds the slot empty, and the finalised
// file counts exactly the frames written.
TEST(WriterSlot, RealWriterRacesWithTake) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("writer_slot_race_" + std::to_string(getpid()) + ".opus");
    auto writer = opus_ogg::OpusOggWriter::create(path.string(), 48000, 2);
    ASSERT_TRUE(writer.has_value()) << writer.error().to_string();
    auto slot = helper::make_writer_slot(std::move(*writer));

    const std::vector<std::int16_t> frame(1920, 1000);  // one 20 ms stereo frame
    std::atomic<int> frames_written{0};
    std::thread capture([&, handler_slot = slot] {
        while (handler_slot->write_pcm_i16(frame)) frames_written.fetch_add(1);
    });
    while (frames_written.load() < 20) std::this_thread::yield();
    const auto duration = finish(*slot);
    capture.join();
    ASSERT_TRUE(duration.has_value()) << duration.error();
    EXPECT_EQ(*duration, frames_written.load() * 960 / 48000.0);
    EXPECT_GT(std::filesystem::file_size(path), 0u);
    std::filesystem::remove(path);
}

}  // namespace
