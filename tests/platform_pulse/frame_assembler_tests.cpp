#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <pulse/def.h>

#include "platform/audio/channel_mixer.h"
#include "platform/audio/frame_assembler.h"
#include "platform/audio/recorder_capture.h"
#include "platform/audio/timeline.h"
#include "platform/pulse/pulse_recorder.h"

namespace {

using platform::audio::FrameAssembler;

struct Piece {
    std::vector<float> samples;
    std::uint64_t first_frame;
};

class Assembled {
public:
    FrameAssembler::Sink sink() {
        return [this](std::span<const float> interleaved, std::uint64_t first_frame) {
            pieces.push_back({{interleaved.begin(), interleaved.end()}, first_frame});
        };
    }
    std::vector<float> all() const {
        std::vector<float> joined;
        for (const auto& p : pieces)
            joined.insert(joined.end(), p.samples.begin(), p.samples.end());
        return joined;
    }
    std::vector<Piece> pieces;
};

std::vector<float> ramp(std::size_t count, float start = 1.0f) {
    std::vector<float> v(count);
    for (std::size_t i = 0; i < count; ++i) v[i] = start + static_cast<float>(i);
    return v;
}

const std::byte* bytes_of(const std::vector<float>& v) {
    return reinterpret_cast<const std::byte*>(v.data());
}

TEST(FrameAssembler, HandsOverWholeFragmentsAndFlushesTheRestAndCountsFrames) {
    FrameAssembler assembler(2, 4);
    Assembled out;
    const auto samples = ramp(2 * 10);  // 10 stereo frames
    assembler.push(samples.data(), samples.size() * sizeof(float), out.sink());

    ASSERT_EQ(out.pieces.size(), 2u);  // two full fragments; 2 frames wait for more
    EXPECT_EQ(out.pieces[0].samples.size(), 8u);
    EXPECT_EQ(out.pieces[1].samples.size(), 8u);
    EXPECT_EQ(out.pieces[0].first_frame, 0u);
    EXPECT_EQ(out.pieces[1].first_frame, 4u);
    EXPECT_EQ(assembler.frames_handed(), 8u);

    assembler.flush(out.sink());
    ASSERT_EQ(out.pieces.size(), 3u);
    EXPECT_EQ(out.pieces[2].samples.size(), 4u);
    EXPECT_EQ(out.pieces[2].first_frame, 8u);
    EXPECT_EQ(out.all(), samples);
    EXPECT_EQ(assembler.frames_handed(), 10u);

    assembler.flush(out.sink());  // nothing gathered: nothing handed over
    EXPECT_EQ(out.pieces.size(), 3u);
}

TEST(FrameAssembler, GathersShortChunksIntoOneFragment) {
    FrameAssembler assembler(2, 6);
    Assembled out;
    const auto samples = ramp(2 * 12);
    const std::byte* b = bytes_of(samples);
    for (std::size_t frame = 0; frame < 5; ++frame) assembler.push(b + frame * 8, 8, out.sink());
    EXPECT_TRUE(out.pieces.empty());
    assembler.push(b + 40, 3 * 8, out.sink());  // fills the fragment and starts the next
    ASSERT_EQ(out.pieces.size(), 1u);
    EXPECT_EQ(out.pieces[0].samples.size(), 12u);
    assembler.push(b + 64, 4 * 8, out.sink());  // the next fragment is full as well
    ASSERT_EQ(out.pieces.size(), 2u);
    EXPECT_EQ(out.pieces[1].first_frame, 6u);
    EXPECT_EQ(out.all(), samples);
}

TEST(FrameAssembler, JoinsFramesSplitAcrossChunksAndFlushesByteForByte) {
    FrameAssembler assembler(2, 100);
    Assembled out;
    const auto samples = ramp(2 * 5);  // 5 frames of 8 bytes = 40 bytes
    const std::byte* b = bytes_of(samples);
    // Cut at awkward places: inside a sample, inside a frame, and a chunk smaller than a frame.
    assembler.push(b, 11, out.sink());
    EXPECT_TRUE(out.pieces.empty());
    assembler.flush(out.sink());
    ASSERT_EQ(out.pieces.size(), 1u);  // one whole frame; 3 bytes stay for the next push
    EXPECT_EQ(out.pieces[0].samples.size(), 2u);
    assembler.push(b + 11, 3, out.sink());  // 6 bytes held: still no frame
    assembler.flush(out.sink());
    EXPECT_EQ(out.pieces.size(), 1u);
    assembler.push(b + 14, 26, out.sink());
    assembler.flush(out.sink());
    EXPECT_EQ(out.all(), samples);
    EXPECT_EQ(out.pieces.back().first_frame, 1u);
    EXPECT_EQ(assembler.frames_handed(), 5u);
}

TEST(FrameAssembler, GathersInTheRoomsGivenAndCarriesPartOfAFrameIntoTheNext) {
    std::vector<std::vector<float>> rooms;
    FrameAssembler assembler(2, 4, [&](std::size_t samples) {
        rooms.emplace_back(samples, -1.0f);
        // The third room is short: the assembler's own is used for that fragment.
        const std::span<float> room(rooms.back());
        return rooms.size() == 3 ? room.first(samples - 1) : room;
    });
    Assembled out;
    std::vector<const float*> at;
    const auto sink = [&](std::span<const float> interleaved, std::uint64_t first_frame) {
        at.push_back(interleaved.data());
        out.sink()(interleaved, first_frame);
    };
    const auto samples = ramp(2 * 11);  // 11 frames of 8 bytes
    const std::byte* b = bytes_of(samples);
    assembler.push(b, 35, sink);       // a fragment in the first room, 3 bytes in the second
    assembler.push(b + 35, 16, sink);  // two frames and 3 bytes of the next
    assembler.flush(sink);             // the two frames; the 3 bytes go on to the next room
    assembler.push(b + 51, 37, sink);  // a fragment (own room), a frame in the fourth
    assembler.flush(sink);
    EXPECT_EQ(out.all(), samples);
    ASSERT_EQ(rooms.size(), 4u);
    ASSERT_EQ(at.size(), 4u);
    EXPECT_EQ(at[0], rooms[0].data());
    EXPECT_EQ(at[1], rooms[1].data());
    EXPECT_NE(at[2], rooms[2].data());
    EXPECT_EQ(at[3], rooms[3].data());
}

TEST(FrameAssembler, HolesBecomeSilenceOfTheSameLengthAndKeepTimeWhole) {
    FrameAssembler assembler(2, 3);
    Assembled out;
    const auto samples = ramp(2 * 2);
    const std::byte* b = bytes_of(samples);
    assembler.push(b, 12, out.sink());               // 1 frame and half a frame (one sample)
    assembler.push(nullptr, 4 + 8 * 4, out.sink());  // completes that frame, then 4 silent frames
    assembler.push(b + 8, 8, out.sink());
    assembler.flush(out.sink());

    const std::vector<float> expected = {1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 4};
    EXPECT_EQ(out.all(), expected);
    EXPECT_EQ(assembler.frames_handed(), 7u);
    for (const auto& piece : out.pieces) EXPECT_LE(piece.samples.size(), 6u);
    EXPECT_EQ(out.pieces.back().first_frame, 6u);
}

TEST(FrameAssembler, MonoAndEmptyChunks) {
    FrameAssembler assembler(1, 2);
    Assembled out;
    assembler.push(nullptr, 0, out.sink());
    assembler.flush(out.sink());
    EXPECT_TRUE(out.pieces.empty());
    const auto samples = ramp(3, 10.0f);
    assembler.push(samples.data(), 12, out.sink());
    assembler.flush(out.sink());
    EXPECT_EQ(out.all(), samples);
    EXPECT_EQ(out.pieces.size(), 2u);
}

// ---- Timeline: the wall clock against what the server delivers ----

using platform::audio::Timeline;
using namespace std::chrono_literals;

constexpr std::uint32_t RATE = 48000;
constexpr std::uint64_t MS = RATE / 1000;  // frames per millisecond

// Feeds a timeline as the recorder does and keeps what it would write: frames of data,
// silence and held data in the order they would go out.
struct Fed {
    Timeline t{RATE, 10ms};
    Timeline::Clock::time_point now = Timeline::Clock::time_point{} + 1h;
    std::uint64_t silence = 0;  // owed silence so far
    std::uint64_t held = 0;     // frames held back now
    std::uint64_t silence_before_held = 0;

    explicit Fed() { t.start(now); }
    void arrive(std::chrono::microseconds after, std::uint64_t frames) {
        now += after;
        const auto a = t.arrive(now, frames);
        if (a.hold) {
            held += frames;
            return;
        }
        silence += a.silence;
        if (held != 0) silence_before_held += a.silence;
        held = 0;
    }
    void end(std::chrono::microseconds after) {
        now += after;
        silence += t.end(now);
        held = 0;
    }
    std::uint64_t due() const {
        return static_cast<std::uint64_t>((now - (Timeline::Clock::time_point{} + 1h)) / 1ms) * MS;
    }
};

TEST(Timeline, FillsTheStartAndGapsTheServerReportsButNotJitter) {
    Fed f;
    // The first data after 500 ms, at real time from then on: the wait is owed, less one
    // fragment of delivery delay, and it goes before the data held meanwhile.
    f.arrive(500ms, 10 * MS);
    EXPECT_EQ(f.held, 10 * MS);
    for (int i = 0; i < 30; ++i) f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.held, 0u);
    EXPECT_EQ(f.silence_before_held, 480 * MS);
    // Deliveries that wobble by a few fragments owe nothing and hold nothing.
    for (int i = 0; i < 200; ++i) {
        f.arrive((i % 2 == 0) ? 5ms : 35ms, 20 * MS);
        ASSERT_EQ(f.held, 0u);
    }
    EXPECT_EQ(f.silence, 480 * MS);
    // A suspended sink: 2 s without data, then data again at real time.
    f.t.note_gap();
    f.arrive(2s, 10 * MS);
    for (int i = 0; i < 30; ++i) f.arrive(10ms, 10 * MS);
    EXPECT_GE(f.silence - 480 * MS, 1990 * MS);
    EXPECT_LE(f.silence - 480 * MS, 2010 * MS);
    // What is counted follows the wall clock within the deliveries' wobble.
    EXPECT_LE(f.t.counted(), f.due() + 20 * MS);
    EXPECT_GE(f.t.counted() + 20 * MS, f.due());
}

TEST(Timeline, WhatABurstBringsLateIsNoGapButALagThatStaysIs) {
    Fed f;
    // A sink that hands over the sound of the first 1.2 s only once it is heard: late,
    // but all of it, in a burst.
    f.arrive(1200ms, 10 * MS);
    for (int i = 0; i < 119; ++i) f.arrive(50us, 10 * MS);
    f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.held, 0u);
    EXPECT_LE(f.silence, 20 * MS) << "the burst covered the start";
    const auto after_start = f.silence;
    for (int i = 0; i < 100; ++i) f.arrive(10ms, 10 * MS);
    // A stall of 1.5 s that the server catches up on at once.
    f.arrive(1500ms, 10 * MS);
    for (int i = 0; i < 150; ++i) f.arrive(100us, 10 * MS);
    f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.silence, after_start);
    // A stall after which the server goes on from now: owed once the lag has lasted, and
    // put before the data that came meanwhile.
    f.arrive(1500ms, 10 * MS);
    for (int i = 0; i < 40; ++i) f.arrive(10ms, 10 * MS);
    EXPECT_GE(f.silence_before_held - after_start, 1480 * MS);
    EXPECT_LE(f.silence_before_held - after_start, 1510 * MS);
    // A server frozen until the stop: what it owes is filled at the end.
    const auto before_freeze = f.silence;
    f.end(1500ms);
    EXPECT_GE(f.silence - before_freeze, 1490 * MS);
    EXPECT_LE(f.silence - before_freeze, 1510 * MS);
}

TEST(Timeline, ClockDriftNeverBecomesSilenceAndAStopWithoutDataCoversTheWait) {
    // A sound card 100 ppm slower than our clock, for an hour: 0.36 s behind in the end,
    // gradually. None of it is a gap.
    Fed f;
    for (int i = 0; i < 360'000; ++i) {
        f.arrive(10010us, 10 * MS);
        ASSERT_EQ(f.held, 0u) << "at " << i;
    }
    f.end(0us);
    EXPECT_EQ(f.silence, 0u);

    Fed quiet;
    quiet.end(700ms);
    EXPECT_EQ(quiet.silence, 700 * MS);
    Timeline never(RATE, 10ms);
    EXPECT_EQ(never.end(Timeline::Clock::now()), 0u)
        << "nothing owed for a stream that never started";
}

// ---- ChannelMixer: surround and mono layouts to stereo ----

using platform::audio::ChannelMixer;

pa_channel_map layout(std::initializer_list<pa_channel_position_t> positions) {
    pa_channel_map map{};
    map.channels = static_cast<std::uint8_t>(positions.size());
    std::size_t c = 0;
    for (auto p : positions) map.map[c++] = p;
    return map;
}

TEST(ChannelMixer, MixesFiveOneWithTheUsualGainsAndLeavesStereoAlone) {
    EXPECT_FALSE(ChannelMixer::to_stereo(
        layout({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT})));
    auto mixer = ChannelMixer::to_stereo(
        layout({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT,
                PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE}));
    ASSERT_TRUE(mixer);
    ASSERT_EQ(mixer->in_channels(), 6u);
    // One frame per channel, each alone at 1.0, and one frame split across two calls.
    std::vector<float> in(6 * 7, 0.0f);
    for (std::size_t c = 0; c < 6; ++c) in[c * 6 + c] = 1.0f;
    for (std::size_t c = 0; c < 6; ++c) in[36 + c] = 0.5f;
    const auto* bytes = bytes_of(in);
    const std::size_t cut = 6 * 6 * sizeof(float) + 10;  // inside the last frame
    std::vector<float> out;
    auto first = mixer->mix(bytes, cut);
    out.assign(first.begin(), first.end());
    auto rest = mixer->mix(bytes + cut, in.size() * sizeof(float) - cut);
    out.insert(out.end(), rest.begin(), rest.end());

    // The last frame is what the server makes of a stereo 0.5 on a 5.1 output: the rear and
    // the centre are its copies, and the front pair alone is that sound.
    const float h = 0.70710678f;
    const std::vector<float> expected{1, 0, 0, 1, h, 0, 0, h, h, h, 0, 0, 0.5f, 0.5f};
    ASSERT_EQ(out.size(), expected.size());
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], expected[i], 1e-6) << i;

    auto mono = ChannelMixer::to_stereo(layout({PA_CHANNEL_POSITION_MONO}));
    ASSERT_TRUE(mono);
    const std::vector<float> one{0.25f};
    const auto both = mono->mix(one.data(), sizeof(float));
    EXPECT_EQ(std::vector<float>(both.begin(), both.end()), (std::vector<float>{0.25f, 0.25f}));
}

// The rate and channel count are the caller's alone: a format that leaves either out is
// refused before any server is asked (one that were asked would not be found here).
TEST(PulseRecorder, RefusesAFormatWithoutRateOrChannelsBeforeAskingAServer) {
    ::setenv("PULSE_SERVER", "unix:/nonexistent/vmah-no-server", 1);
    platform::pulse::RecordFormat no_rate;
    no_rate.channels = 2;
    platform::pulse::RecordFormat no_channels;
    no_channels.rate = 48000;
    for (const auto& format : {no_rate, no_channels}) {
        const auto refused = platform::pulse::PulseRecorder::start(
            "monitor", format, [](std::span<const float>, std::uint64_t) {}, [](std::string) {});
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error(), platform::pulse::error_text(PA_ERR_INVALID))
            << format.rate << " Hz, " << format.channels << " channels";
    }
}

// A capture over a recorder whose start the test holds until it lets it go.
struct FakeRecorder {
    explicit FakeRecorder(std::atomic<int>& counter) : stops(counter) {}
    void stop() { ++stops; }
    std::atomic<int>& stops;
};
using FakeCapture = platform::audio::RecorderCapture<FakeRecorder>;

class RecorderCaptureTest : public ::testing::Test {
protected:
    // Starts a capture whose recorder comes once go is set, or fails with `failure`.
    std::unique_ptr<platform::Capture> launch(std::optional<std::string> failure = std::nullopt) {
        return FakeCapture::launch(
            [this, failure]() -> FakeCapture::Started {
                go.get_future().wait();
                if (failure) return std::unexpected(*failure);
                return std::make_unique<FakeRecorder>(stops);
            },
            answer(started));
    }

    struct Answer {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<platform::Outcome> outcome;
        platform::Outcome wait() {
            std::unique_lock lock(mutex);
            done.wait_for(lock, std::chrono::seconds(10), [this] { return outcome.has_value(); });
            return outcome.value_or(std::unexpected(std::string("no answer")));
        }
    };
    static platform::Reply<platform::Outcome> answer(const std::shared_ptr<Answer>& to) {
        return {[to](platform::Outcome outcome) {
                    std::lock_guard lock(to->mutex);
                    to->outcome = std::move(outcome);
                    to->done.notify_all();
                },
                std::unexpected(std::string("dropped"))};
    }

    std::promise<void> go;
    std::atomic<int> stops{0};
    std::shared_ptr<Answer> started = std::make_shared<Answer>();
};

TEST_F(RecorderCaptureTest, AStartedRecorderIsStoppedOnceByStopBeforeItsAnswer) {
    auto capture = launch();
    go.set_value();
    ASSERT_TRUE(started->wait().has_value());
    EXPECT_EQ(stops, 0);
    auto stopped = std::make_shared<Answer>();
    capture->stop(answer(stopped));
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(stopped->wait().has_value());
    capture.reset();
    EXPECT_EQ(stops, 1);
}

TEST_F(RecorderCaptureTest, AFailedStartAnswersWithItsTextAndLeavesNothingToStop) {
    auto capture = launch("No such entity");
    go.set_value();
    const auto outcome = started->wait();
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error(), "No such entity");
    capture.reset();
    EXPECT_EQ(stops, 0);
}

TEST_F(RecorderCaptureTest, ACaptureDroppedWhileStartingStopsItsRecorderOnceItStarts) {
    auto capture = launch();
    // The drop waits for the start to settle; the start goes on once the drop is under way.
    std::thread dropper([&] { capture.reset(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    go.set_value();
    dropper.join();
    const auto outcome = started->wait();
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error(), "The capture ended before it started");
    EXPECT_EQ(stops, 1);
}

}  // namespace
