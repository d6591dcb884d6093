#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include <pulse/def.h>

#include "platform/pulse/pulse_recorder.h"

namespace {

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

}  // namespace
