#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/backends/pipewire/buffer_ring.h"
#include "platform/backends/pipewire/pipewire_client.h"

namespace {

using platform::audio::ChannelLayout;
using platform::audio::ChannelPosition;
using platform::pipewire::BufferHeader;
using platform::pipewire::BufferRing;
using platform::pipewire::parse_positions;
using platform::pipewire::spa_position;
using enum ChannelPosition;

std::vector<ChannelPosition> positions_of(std::string_view text) {
    const ChannelLayout layout = parse_positions(text);
    return {layout.positions().begin(), layout.positions().end()};
}

std::string repeated(std::string_view name, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += std::string(name) + ",";
    return text;
}

// Buffers of 3 stereo frames (24 bytes) into a ring with room for two of them and their
// headers (128 bytes, 56 each): the next two find it full, and once what it holds is taken
// they go in ahead of the next as one hole of their length, timed like the last of them.
// Samples that go across the end of the storage come back gathered, the others in place.
TEST(PipewireBufferRing, BuffersItHadNoRoomForGoInAheadOfTheNextAsAHole) {
    static_assert(sizeof(BufferHeader) == 32);
    BufferRing ring(128);
    std::vector<std::byte> samples(24);
    const auto buffer = [&](std::int64_t cycle) {
        std::fill(samples.begin(), samples.end(), static_cast<std::byte>(cycle));
        return BufferHeader{.cycle_ns = cycle, .frame_bytes = 8, .bytes = 24};
    };
    for (const std::int64_t cycle : {1, 2, 3, 4}) {
        EXPECT_EQ(ring.push(buffer(cycle), samples), cycle <= 2 ? 3u : 0u) << cycle;
    }
    BufferHeader header;
    std::span<const std::byte> out;
    std::vector<std::byte> scratch(ring.capacity());
    const auto next = [&](std::int64_t cycle, std::uint32_t hole, std::uint32_t bytes) {
        ASSERT_TRUE(ring.pop(header, out, scratch)) << cycle;
        EXPECT_EQ(header.cycle_ns, cycle);
        EXPECT_EQ(header.hole, hole);
        EXPECT_EQ(header.bytes, bytes);
        EXPECT_EQ(out.size(), hole != 0 ? 0 : bytes);
        EXPECT_EQ(std::count(out.begin(), out.end(), static_cast<std::byte>(cycle)), out.size());
    };
    next(1, 0, 24);
    next(2, 0, 24);
    EXPECT_FALSE(ring.pop(header, out, scratch)) << "drained: all of it is free again";
    EXPECT_EQ(ring.push(buffer(5), samples), 9u) << "the hole of 6 frames and the buffer";
    next(4, 1, 48);
    next(5, 0, 24);
    // One at a time on round the storage: each record begins somewhere else in it.
    for (std::int64_t cycle = 6; cycle < 6 + 16; ++cycle) {
        EXPECT_EQ(ring.push(buffer(cycle), samples), 3u);
        next(cycle, 0, 24);
    }
    EXPECT_FALSE(ring.pop(header, out, scratch));
}

// A sink's "audio.position" in either of the server's spellings; anything the mixer could
// misread leaves the layout empty, so that the server does the mixing.
TEST(PipewirePositions, ParsesBothSpellingsAndRefusesWhatItCannotPlace) {
    const int most = static_cast<int>(ChannelLayout::MAX_CHANNELS);
    const std::string full = repeated("FL", most);
    const std::string too_many = repeated("FL", most + 1);
    const struct {
        std::string_view text;
        std::vector<ChannelPosition> expected;
    } cases[] = {
        {"FL,FR", {FrontLeft, FrontRight}},
        {"[ FC LFE RL RR ]", {FrontCenter, Lfe, RearLeft, RearRight}},
        {"MONO", {Mono}},
        {"FL,AUX0", {}},
        {"", {}},
        {full, std::vector(ChannelLayout::MAX_CHANNELS, FrontLeft)},
        {too_many, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(positions_of(c.text), c.expected) << c.text;
}

// The position a sink's layout names is the one its stream's format asks for.
TEST(PipewirePositions, EveryParsedPositionHasTheServersOwnAndOthersHaveNone) {
    const struct {
        std::string_view name;
        spa_audio_channel channel;
    } cases[] = {
        {"MONO", SPA_AUDIO_CHANNEL_MONO}, {"FL", SPA_AUDIO_CHANNEL_FL},
        {"FR", SPA_AUDIO_CHANNEL_FR},     {"FC", SPA_AUDIO_CHANNEL_FC},
        {"LFE", SPA_AUDIO_CHANNEL_LFE},   {"SL", SPA_AUDIO_CHANNEL_SL},
        {"SR", SPA_AUDIO_CHANNEL_SR},     {"FLC", SPA_AUDIO_CHANNEL_FLC},
        {"FRC", SPA_AUDIO_CHANNEL_FRC},   {"RC", SPA_AUDIO_CHANNEL_RC},
        {"RL", SPA_AUDIO_CHANNEL_RL},     {"RR", SPA_AUDIO_CHANNEL_RR},
    };
    for (const auto& c : cases) {
        const auto parsed = positions_of(c.name);
        ASSERT_EQ(parsed.size(), 1u) << c.name;
        EXPECT_EQ(spa_position(parsed[0]), c.channel) << c.name;
    }
    EXPECT_EQ(spa_position(Unknown), SPA_AUDIO_CHANNEL_UNKNOWN);
}

}  // namespace
