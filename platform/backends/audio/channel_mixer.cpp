#include "platform/backends/audio/channel_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::audio {

namespace {
constexpr float FULL = 1.0f;
constexpr float MINUS_3_DB = 0.70710678f;
constexpr float MINUS_6_DB = 0.5f;
// How far a copy may stray from the channels it was made from: a few steps of a 16-bit
// sample, as a sink that mixes in 16 bits rounds the mean it puts in the centre.
constexpr float COPY_TOLERANCE = 4.0f / 32768.0f;
// How much of the way back to the whole addition each frame goes once it may: about 20 ms
// at 48 kHz.
constexpr float RECOVERY = 1.0f / 1024.0f;

// The most of `added` that `base + added` may take without passing CEILING: 1 when all of it.
float room_for(float base, float added) {
    const float sum = base + added;
    if (added == 0 || std::fabs(sum) <= ChannelMixer::CEILING) return 1.0f;
    const float target = std::copysign(ChannelMixer::CEILING, sum);
    return std::clamp((target - base) / added, 0.0f, 1.0f);
}

// The server's upmix of a front pair: each side into the other channels of that side, the
// mean of the two into every centre channel.
std::optional<std::pair<float, float>> upmix_share(ChannelPosition position) {
    using enum ChannelPosition;
    const auto [l, r] = ChannelMixer::gains(position);
    if (position == FrontLeft || position == FrontRight || position == Mono || (l == 0 && r == 0)) {
        return std::nullopt;
    }
    if (l != 0 && r != 0) return std::pair{0.5f, 0.5f};
    return l != 0 ? std::pair{1.0f, 0.0f} : std::pair{0.0f, 1.0f};
}
}  // namespace

std::pair<float, float> ChannelMixer::gains(ChannelPosition position) {
    using enum ChannelPosition;
    switch (position) {
        case Mono:
            return {FULL, FULL};
        case FrontLeft:
            return {FULL, 0};
        case FrontRight:
            return {0, FULL};
        case FrontCenter:
        case TopCenter:
        case TopFrontCenter:
            return {MINUS_3_DB, MINUS_3_DB};
        case RearCenter:
        case TopRearCenter:
            return {MINUS_6_DB, MINUS_6_DB};
        case RearLeft:
        case SideLeft:
        case FrontLeftOfCenter:
        case TopFrontLeft:
        case TopRearLeft:
            return {MINUS_3_DB, 0};
        case RearRight:
        case SideRight:
        case FrontRightOfCenter:
        case TopFrontRight:
        case TopRearRight:
            return {0, MINUS_3_DB};
        default:
            // The LFE, and auxiliary channels whose place nobody knows.
            return {0, 0};
    }
}

std::optional<ChannelMixer> ChannelMixer::to_stereo(const ChannelLayout& layout) {
    using enum ChannelPosition;
    if (layout.channels() == 0 || layout == ChannelLayout{FrontLeft, FrontRight}) {
        return std::nullopt;
    }
    ChannelMixer mixer;
    const auto positions = layout.positions();
    const bool front_pair = std::ranges::find(positions, FrontLeft) != positions.end() &&
                            std::ranges::find(positions, FrontRight) != positions.end();
    for (std::size_t c = 0; c < positions.size(); ++c) {
        const auto [l, r] = gains(positions[c]);
        mixer.left_.push_back(l);
        mixer.right_.push_back(r);
        mixer.upmix_.push_back(front_pair ? upmix_share(positions[c]) : std::nullopt);
        if (positions[c] == FrontLeft) mixer.front_left_ = c;
        if (positions[c] == FrontRight) mixer.front_right_ = c;
    }
    return mixer;
}

bool ChannelMixer::is_upmix_copy(std::size_t c, std::size_t count) const {
    if (!upmix_[c]) return false;
    const auto [from_left, from_right] = *upmix_[c];
    const std::size_t channels = in_channels();
    for (std::size_t f = 0; f < count; ++f) {
        const float* frame = frames_.data() + f * channels;
        const float copy = from_left * frame[front_left_] + from_right * frame[front_right_];
        if (!(std::fabs(frame[c] - copy) <= COPY_TOLERANCE)) return false;
    }
    return true;
}

std::span<const float> ChannelMixer::mix(const void* data, std::size_t bytes) {
    const std::size_t channels = in_channels();
    const std::size_t frame_bytes = channels * sizeof(float);
    // Copied out: the server's bytes carry no promise of float alignment.
    frames_.resize(bytes / frame_bytes * channels);
    if (!frames_.empty()) std::memcpy(frames_.data(), data, frames_.size() * sizeof(float));
    const std::size_t count = frames_.size() / channels;
    if (count == 0) return {};
    keep_.resize(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        const bool copy = upmix_[c] && (front_only_ || is_upmix_copy(c, count));
        keep_[c] = copy ? 0.0f : 1.0f;
    }
    if (kept_.empty()) kept_ = keep_;  // the first call starts as it is
    out_.resize(2 * count);
    for (std::size_t f = 0; f < count; ++f) {
        const float* frame = frames_.data() + f * channels;
        // From what the last call kept to what this one keeps, over its frames.
        const float along = static_cast<float>(f + 1) / static_cast<float>(count);
        // The front pair (and a mono channel) as they are; what the others add, apart.
        float l = 0;
        float r = 0;
        float added_l = 0;
        float added_r = 0;
        for (std::size_t c = 0; c < channels; ++c) {
            const float share = frame[c] * (kept_[c] + (keep_[c] - kept_[c]) * along);
            (upmix_[c] ? added_l : l) += share * left_[c];
            (upmix_[c] ? added_r : r) += share * right_[c];
        }
        // Turned down at once where it would pass the ceiling, back up slowly: both sides
        // alike, so the sound keeps its place.
        added_gain_ = std::min({added_gain_ + (1.0f - added_gain_) * RECOVERY, room_for(l, added_l),
                                room_for(r, added_r)});
        out_[2 * f] = l + added_gain_ * added_l;
        out_[2 * f + 1] = r + added_gain_ * added_r;
    }
    kept_ = keep_;
    return out_;
}

}  // namespace platform::audio
