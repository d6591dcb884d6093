#pragma once

// Mixes a surround (or mono) layout down to stereo with the usual downmix gains: the
// front pair as it is, centre and surround channels at -3 dB into their side (a rear
// centre at -6 dB into both), the LFE left out. The sum is not normalised; but what the
// other channels add to the front pair never takes a side past CEILING: where it would,
// that addition alone is turned down for as long as needed (the front pair as it is).
//
// Asked for stereo, the server's own remapping keeps a surround channel at about -23 dB;
// recording the monitor in its own layout and mixing here keeps it audible.
//
// A stereo sound played on a surround output reaches it upmixed: the server copies each
// side into that side's other channels and the mean of the pair into the centre. Those
// copies hold nothing the front pair does not; mixed back in, they would make the sound
// some 7 dB louder and clip it. So a channel that holds, throughout one call, just what such
// an upmix puts there is left out, and one that holds anything else (a surround sound of its
// own) is mixed in. A change between the two is spread over the call, so it makes no click.
//
// A server that filters what its upmix puts in the other channels defeats that matching; one
// that knows every stream playing has at most two channels says so with front_only(), and
// the front pair alone is then the sound.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/backends/audio/channel_layout.h"

namespace platform::audio {

class ChannelMixer {
public:
    // Null when the layout is plain front-left, front-right: nothing to mix.
    static std::optional<ChannelMixer> to_stereo(const ChannelLayout& layout);

    // The most a side reaches once the other channels are added to the front pair.
    static constexpr float CEILING = 0.966f;  // -0.3 dB

    std::size_t in_channels() const { return left_.size(); }

    // Whether the channels besides the front pair hold only an upmix of it: they are then left
    // out, from the next call on (spread over that call). Without a front pair, nothing changes.
    void front_only(bool only) { front_only_ = only; }

    // Mixes `bytes` bytes of whole frames of interleaved 32-bit float samples. The result is
    // valid until the next call.
    std::span<const float> mix(const void* data, std::size_t bytes);

    // Stereo gains of one input channel position.
    static std::pair<float, float> gains(ChannelPosition position);

private:
    ChannelMixer() = default;

    // Whether channel `c` of `count` frames holds nothing but the upmix of the front pair.
    bool is_upmix_copy(std::size_t c, std::size_t count) const;

    std::vector<float> left_;    // gain of each input channel into the left output
    std::vector<float> right_;   // and into the right
    std::vector<float> frames_;  // this call's whole frames, aligned
    std::vector<float> out_;

    // The share of front-left and of front-right an upmix copies into each channel; none
    // for the front pair itself, the LFE, or a layout without a front pair.
    std::vector<std::optional<std::pair<float, float>>> upmix_;
    std::size_t front_left_ = 0;
    std::size_t front_right_ = 0;
    std::vector<float> kept_;  // 1 while a channel is mixed in, 0 while it is a copy
    std::vector<float> keep_;  // the same, for this call
    bool front_only_ = false;
    float added_gain_ = 1.0f;  // what is left of the other channels' addition while it is held
};

}  // namespace platform::audio
