#pragma once

// A recording judged against a reference of the same sound from the same run: a recorder of
// the server's monitor beside it (PulseDaemon::record_monitor). Between a test's player and
// the helper stand a player, a server and a session manager that are ordinary processes on a
// busy machine; what they lose shows in the reference as in the recording, and only what the
// recording lost beyond the reference is the recording's own.
//
// Both are cut into blocks of 10 ms and lined up where their levels agree best (to the
// millisecond); blocks of the recording that the reference does not cover (a recorder that
// asked for the sound later, or was stopped earlier) are not compared. The statistics are ones
// that a lost block does not move: median levels and frequencies of the blocks that are loud
// in both, and counts of the blocks where the two disagree.

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace test_support {

// 10 ms at 48 kHz.
constexpr std::size_t REFERENCE_BLOCK = 480;

// One channel over the blocks loud in both (away from the sound's edges).
struct ChannelSound {
    double level = 0;      // median RMS
    double frequency = 0;  // median of each block's own estimate (upward zero crossings)
};

struct Comparison {
    std::size_t loud = 0;     // blocks loud in the reference, where it covers the recording
    std::size_t missing = 0;  // of those, quiet in the recording
    std::size_t extra = 0;    // blocks loud in the recording and quiet in the reference
    std::vector<ChannelSound> recording;  // per channel
    // For a failure's message: the recording's blocks from the first that differs, '#' loud in
    // both, '-' missing, '+' extra, '.' quiet in both, ' ' not compared.
    std::string picture;
};

// `recording` and `reference` are interleaved at 48 kHz with `channels` channels each (the
// reference with `reference_channels` when given); a block is loud when the RMS of all its
// samples is at least `loud_level`.
Comparison compare_to_reference(std::span<const float> recording, std::span<const float> reference,
                                std::size_t channels, double loud_level,
                                std::size_t reference_channels = 0);

}  // namespace test_support
