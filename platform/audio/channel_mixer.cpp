#include "platform/audio/channel_mixer.h"

#include <cstring>

namespace platform::pulse {

namespace {
constexpr float FULL = 1.0f;
constexpr float MINUS_3_DB = 0.70710678f;
constexpr float MINUS_6_DB = 0.5f;
}  // namespace

std::pair<float, float> ChannelMixer::gains(pa_channel_position_t position) {
    switch (position) {
        case PA_CHANNEL_POSITION_MONO:
            return {FULL, FULL};
        case PA_CHANNEL_POSITION_FRONT_LEFT:
            return {FULL, 0};
        case PA_CHANNEL_POSITION_FRONT_RIGHT:
            return {0, FULL};
        case PA_CHANNEL_POSITION_FRONT_CENTER:
        case PA_CHANNEL_POSITION_TOP_CENTER:
        case PA_CHANNEL_POSITION_TOP_FRONT_CENTER:
            return {MINUS_3_DB, MINUS_3_DB};
        case PA_CHANNEL_POSITION_REAR_CENTER:
        case PA_CHANNEL_POSITION_TOP_REAR_CENTER:
            return {MINUS_6_DB, MINUS_6_DB};
        case PA_CHANNEL_POSITION_REAR_LEFT:
        case PA_CHANNEL_POSITION_SIDE_LEFT:
        case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
        case PA_CHANNEL_POSITION_TOP_FRONT_LEFT:
        case PA_CHANNEL_POSITION_TOP_REAR_LEFT:
            return {MINUS_3_DB, 0};
        case PA_CHANNEL_POSITION_REAR_RIGHT:
        case PA_CHANNEL_POSITION_SIDE_RIGHT:
        case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
        case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT:
        case PA_CHANNEL_POSITION_TOP_REAR_RIGHT:
            return {0, MINUS_3_DB};
        default:
            // The LFE, and auxiliary channels whose place nobody knows.
            return {0, 0};
    }
}

std::optional<ChannelMixer> ChannelMixer::to_stereo(const pa_channel_map& layout) {
    if (layout.channels == 0) return std::nullopt;
    if (layout.channels == 2 && layout.map[0] == PA_CHANNEL_POSITION_FRONT_LEFT &&
        layout.map[1] == PA_CHANNEL_POSITION_FRONT_RIGHT) {
        return std::nullopt;
    }
    ChannelMixer mixer;
    for (unsigned c = 0; c < layout.channels; ++c) {
        const auto [l, r] = gains(layout.map[c]);
        mixer.left_.push_back(l);
        mixer.right_.push_back(r);
    }
    mixer.frame_.resize(layout.channels);
    return mixer;
}

std::span<const float> ChannelMixer::mix(const void* data, std::size_t bytes) {
    const std::size_t channels = in_channels();
    const std::size_t frame_bytes = channels * sizeof(float);
    // Join a frame split across calls; the rest of this call is read in place.
    const auto* in = static_cast<const std::byte*>(data);
    std::size_t used = 0;
    std::size_t joined_frames = 0;
    if (!partial_.empty()) {
        used = std::min(bytes, frame_bytes - partial_.size());
        partial_.insert(partial_.end(), in, in + used);
        if (partial_.size() < frame_bytes) return {};
        std::memcpy(frame_.data(), partial_.data(), frame_bytes);
        partial_.clear();
        joined_frames = 1;
    }
    const std::size_t frames = (bytes - used) / frame_bytes;
    out_.resize(2 * (joined_frames + frames));
    float* out = out_.data();
    auto mix_frame = [&](const float* frame) {
        float l = 0;
        float r = 0;
        for (std::size_t c = 0; c < channels; ++c) {
            l += frame[c] * left_[c];
            r += frame[c] * right_[c];
        }
        *out++ = l;
        *out++ = r;
    };
    if (joined_frames != 0) mix_frame(frame_.data());
    for (std::size_t f = 0; f < frames; ++f) {
        // Copied out: the server's bytes carry no promise of float alignment.
        std::memcpy(frame_.data(), in + used + f * frame_bytes, frame_bytes);
        mix_frame(frame_.data());
    }
    const std::size_t rest = bytes - used - frames * frame_bytes;
    partial_.assign(in + bytes - rest, in + bytes);
    return out_;
}

}  // namespace platform::pulse
