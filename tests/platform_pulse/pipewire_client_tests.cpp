#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/backends/pipewire/pipewire_client.h"

namespace {

using platform::pipewire::parse_positions;
using platform::pipewire::spa_position;

std::vector<pa_channel_position_t> positions_of(std::string_view text) {
    const pa_channel_map map = parse_positions(text);
    return {map.map, map.map + map.channels};
}

std::string repeated(std::string_view name, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += std::string(name) + ",";
    return text;
}

// A sink's "audio.position" in either of the server's spellings; anything the mixer could
// misread leaves the layout empty, so that the server does the mixing.
TEST(PipewirePositions, ParsesBothSpellingsAndRefusesWhatItCannotPlace) {
    const std::string too_many = repeated("FL", PA_CHANNELS_MAX + 1);
    const struct {
        std::string_view text;
        std::vector<pa_channel_position_t> expected;
    } cases[] = {
        {"FL,FR", {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT}},
        {"[ FC LFE RL RR ]",
         {PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE, PA_CHANNEL_POSITION_REAR_LEFT,
          PA_CHANNEL_POSITION_REAR_RIGHT}},
        {"MONO", {PA_CHANNEL_POSITION_MONO}},
        {"FL,AUX0", {}},
        {"", {}},
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
    EXPECT_EQ(spa_position(PA_CHANNEL_POSITION_AUX0), SPA_AUDIO_CHANNEL_UNKNOWN);
}

}  // namespace
