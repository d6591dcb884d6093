#pragma once

// The place of each interleaved channel of a stream, as the mixer reads it. Each backend
// turns its server's own description of a layout into this one at its edge, so the shared
// audio code depends on no client library.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace platform::audio {

enum class ChannelPosition : std::uint8_t {
    Unknown,  // an auxiliary channel, or one whose place nobody knows
    Mono,
    FrontLeft,
    FrontRight,
    FrontCenter,
    Lfe,
    RearLeft,
    RearRight,
    RearCenter,
    SideLeft,
    SideRight,
    FrontLeftOfCenter,
    FrontRightOfCenter,
    TopCenter,
    TopFrontLeft,
    TopFrontRight,
    TopFrontCenter,
    TopRearLeft,
    TopRearRight,
    TopRearCenter,
};

class ChannelLayout {
public:
    // As many channels as a sound server's sink may have.
    static constexpr std::size_t MAX_CHANNELS = 32;

    ChannelLayout() = default;
    ChannelLayout(std::initializer_list<ChannelPosition> positions) {
        for (const ChannelPosition p : positions) add(p);
    }

    // Appends a channel; false, with nothing appended, once MAX_CHANNELS are there.
    bool add(ChannelPosition position) {
        if (count_ == MAX_CHANNELS) return false;
        positions_[count_++] = position;
        return true;
    }

    std::size_t channels() const { return count_; }
    std::span<const ChannelPosition> positions() const { return {positions_.data(), count_}; }

    friend bool operator==(const ChannelLayout& a, const ChannelLayout& b) {
        return std::ranges::equal(a.positions(), b.positions());
    }

private:
    std::array<ChannelPosition, MAX_CHANNELS> positions_{};
    std::size_t count_ = 0;
};

}  // namespace platform::audio
