#pragma once

// Mixes a surround (or mono) layout down to stereo with the usual downmix gains: the
// front pair as it is, centre and surround channels at -3 dB into their side (a rear
// centre at -6 dB into both), the LFE left out. The sum is not normalised: a surround
// mix of near full scale may clip when converted, as it would on a stereo output.
//
// Asked for stereo, the server's own remapping keeps a surround channel at about -23 dB;
// recording the monitor in its own layout and mixing here keeps it audible.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <pulse/channelmap.h>

namespace platform::pulse {

class ChannelMixer {
public:
    // Null when the layout is plain front-left, front-right: nothing to mix.
    static std::optional<ChannelMixer> to_stereo(const pa_channel_map& layout);

    std::size_t in_channels() const { return left_.size(); }

    // Mixes the whole frames of `bytes` bytes of interleaved 32-bit float samples; a part
    // of a frame waits for the next call. The result is valid until the next call.
    std::span<const float> mix(const void* data, std::size_t bytes);

    // Stereo gains of one input channel position.
    static std::pair<float, float> gains(pa_channel_position_t position);

private:
    ChannelMixer() = default;

    std::vector<float> left_;         // gain of each input channel into the left output
    std::vector<float> right_;        // and into the right
    std::vector<std::byte> partial_;  // a frame split across calls
    std::vector<float> frame_;        // one input frame, aligned
    std::vector<float> out_;
};

}  // namespace platform::pulse
