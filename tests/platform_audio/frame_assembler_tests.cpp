#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "platform/backends/audio/frame_assembler.h"
#include "platform/backends/audio/held_audio.h"

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

// A number from low to high, both included, from a seeded sequence that a failure can replay.
struct Pick {
    std::mt19937 random;
    std::size_t operator()(std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, high)(random);
    }
};

std::vector<float> ramp(std::size_t count, float start = 1.0f) {
    std::vector<float> v(count);
    for (std::size_t i = 0; i < count; ++i) v[i] = start + static_cast<float>(i);
    return v;
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

    assembler.flush(out.sink());
    ASSERT_EQ(out.pieces.size(), 3u);
    EXPECT_EQ(out.pieces[2].samples.size(), 4u);
    EXPECT_EQ(out.pieces[2].first_frame, 8u);
    EXPECT_EQ(out.all(), samples);

    assembler.flush(out.sink());  // nothing gathered: nothing handed over
    EXPECT_EQ(out.pieces.size(), 3u);
    assembler.push(samples.data(), 2 * sizeof(float), out.sink());
    assembler.flush(out.sink());  // numbered by all ten frames before it
    EXPECT_EQ(out.pieces.back().first_frame, 10u);
}

TEST(FrameAssembler, GathersShortChunksIntoOneFragment) {
    FrameAssembler assembler(2, 6);
    Assembled out;
    const auto samples = ramp(2 * 12);
    const std::byte* b = std::as_bytes(std::span(samples)).data();
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

TEST(FrameAssembler, GathersInTheRoomsGivenAndInItsOwnWhenOneIsShort) {
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
    const std::byte* b = std::as_bytes(std::span(samples)).data();
    assembler.push(b, 40, sink);       // a fragment in the first room, a frame in the second
    assembler.push(b + 40, 16, sink);  // two frames more
    assembler.flush(sink);             // the three frames
    assembler.push(b + 56, 32, sink);  // a fragment (own room)
    assembler.flush(sink);
    EXPECT_EQ(out.all(), samples);
    ASSERT_EQ(rooms.size(), 3u);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_EQ(at[0], rooms[0].data());
    EXPECT_EQ(at[1], rooms[1].data());
    EXPECT_NE(at[2], rooms[2].data());
}

TEST(FrameAssembler, HolesBecomeSilenceOfTheSameLengthAndKeepTimeWhole) {
    FrameAssembler assembler(2, 3);
    Assembled out;
    const auto samples = ramp(2 * 2);
    const std::byte* b = std::as_bytes(std::span(samples)).data();
    assembler.push(b, 8, out.sink());
    assembler.push(nullptr, 8 * 4, out.sink());  // 4 silent frames
    assembler.push(b + 8, 8, out.sink());
    assembler.flush(out.sink());

    const std::vector<float> expected = {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 3, 4};
    EXPECT_EQ(out.all(), expected);
    for (const auto& piece : out.pieces) EXPECT_LE(piece.samples.size(), 6u);
    EXPECT_EQ(out.pieces.back().first_frame, 3u);
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

// A stream of distinct samples, pushed in random pieces (any number of frames, some of them
// holes), with random flushes and rooms that are sometimes short: every frame comes out
// once and in order, each fragment whole but the flushed ones, numbered by the frames
// before it.
TEST(FrameAssembler, EveryFrameOnceInOrderOverRandomSplits) {
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        Pick pick{std::mt19937(seed)};
        const auto channels = static_cast<std::uint32_t>(pick(1, 6));
        const std::size_t fragment = pick(1, 40);
        const std::size_t frame_bytes = channels * sizeof(float);
        std::vector<std::vector<float>> rooms;
        FrameAssembler assembler(channels, fragment, [&](std::size_t samples) {
            rooms.emplace_back(samples);
            return std::span<float>(rooms.back()).first(samples - pick(0, 1));
        });
        Assembled out;
        auto samples = ramp(channels * pick(0, 300));
        std::vector<float> expected = samples;
        const std::byte* b = std::as_bytes(std::span(samples)).data();
        const std::size_t total = samples.size() * sizeof(float);
        for (std::size_t at = 0; at < total;) {
            const std::size_t bytes = std::min(total - at, pick(0, 3 * fragment) * frame_bytes);
            if (pick(0, 9) == 0) {
                assembler.push(nullptr, bytes, out.sink());
                std::memset(reinterpret_cast<std::byte*>(expected.data()) + at, 0, bytes);
            } else {
                assembler.push(b + at, bytes, out.sink());
            }
            at += bytes;
            if (pick(0, 4) == 0) assembler.flush(out.sink());
        }
        assembler.flush(out.sink());

        ASSERT_EQ(out.all(), expected) << "seed " << seed;
        std::uint64_t frames = 0;
        for (const auto& piece : out.pieces) {
            ASSERT_EQ(piece.first_frame, frames) << "seed " << seed;
            ASSERT_EQ(piece.samples.size() % channels, 0u) << "seed " << seed;
            ASSERT_LE(piece.samples.size(), fragment * channels) << "seed " << seed;
            ASSERT_FALSE(piece.samples.empty()) << "seed " << seed;
            frames += piece.samples.size() / channels;
        }
    }
}

// Held audio goes out as the gap rule decides: the silence, then what was held less its
// overlap.
TEST(HeldAudio, ReleasesTheSilenceThenWhatWasHeldLessTheOverlap) {
    struct Case {
        std::uint64_t silence, overlap;
        std::vector<float> expected;  // mono
    };
    const std::vector<Case> cases = {
        {2, 0, {0, 0, 1, 2, 3, 4, 5}},
        {2, 1, {0, 0, 2, 3, 4, 5}},
        {0, 2, {3, 4, 5}},
        {1, 9, {0}},
    };
    for (const auto& c : cases) {
        platform::audio::HeldAudio held(1);
        FrameAssembler assembler(1, 100);
        Assembled out;
        const auto samples = ramp(5);
        held.take(samples.data(), 3 * sizeof(float), true, assembler, out.sink());
        held.take(samples.data() + 3, 2 * sizeof(float), true, assembler, out.sink());
        held.release(c.silence, c.overlap, assembler, out.sink());
        assembler.flush(out.sink());
        EXPECT_EQ(out.all(), c.expected) << c.silence << " " << c.overlap;
    }
}

// Chunks of any number of frames, held or not, then released with the gap rule's figures: what
// was handed on goes out as it came, then the silence, then what was held less its overlap;
// every frame once, in order.
TEST(HeldAudio, EveryFrameOnceInOrderOverRandomSplits) {
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        Pick pick{std::mt19937(seed)};
        const auto channels = static_cast<std::uint32_t>(pick(1, 3));
        const std::size_t frame_bytes = channels * sizeof(float);
        platform::audio::HeldAudio held(channels);
        FrameAssembler assembler(channels, pick(1, 20));
        Assembled out;
        const auto samples = ramp(channels * pick(1, 120));
        const std::byte* b = std::as_bytes(std::span(samples)).data();
        const std::size_t total = samples.size() * sizeof(float);
        // The stream goes straight on up to `hold_from`, is held from there, then released.
        const std::size_t hold_from = pick(0, total / frame_bytes) * frame_bytes;
        for (std::size_t at = 0; at < total;) {
            const std::size_t bytes = std::min(total - at, pick(0, 3) * frame_bytes);
            const std::size_t straight = at < hold_from ? std::min(bytes, hold_from - at) : 0;
            held.take(b + at, straight, false, assembler, out.sink());
            held.take(b + at + straight, bytes - straight, true, assembler, out.sink());
            at += bytes;
        }
        const std::size_t held_frames = (total - hold_from) / frame_bytes;
        const std::uint64_t silence = pick(0, 5), overlap = pick(0, held_frames + 1);
        held.release(silence, overlap, assembler, out.sink());
        assembler.flush(out.sink());

        const auto first_held = samples.begin() + static_cast<std::ptrdiff_t>(hold_from / 4);
        std::vector<float> expected(samples.begin(), first_held);
        const std::size_t kept = held_frames - std::min<std::size_t>(overlap, held_frames);
        expected.insert(expected.end(), silence * channels, 0.0f);
        expected.insert(expected.end(),
                        samples.end() - static_cast<std::ptrdiff_t>(kept * channels),
                        samples.end());
        ASSERT_EQ(out.all(), expected) << "seed " << seed;
    }
}

}  // namespace
