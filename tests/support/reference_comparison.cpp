#include "tests/support/reference_comparison.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "tests/support/tone_meter.h"

namespace test_support {
namespace {

constexpr std::size_t FINE = REFERENCE_BLOCK / 10;  // 1 ms

// The offset in [from, to] at which `reference` (levels, silent outside its range) agrees best
// with `recording`: the least sum of level differences; the earliest of equals.
std::ptrdiff_t best_offset(const std::vector<double>& recording,
                           const std::vector<double>& reference, std::ptrdiff_t from,
                           std::ptrdiff_t to) {
    const auto size = static_cast<std::ptrdiff_t>(reference.size());
    std::ptrdiff_t best = from;
    double least = std::numeric_limits<double>::infinity();
    for (std::ptrdiff_t offset = from; offset <= to; ++offset) {
        double cost = 0;
        for (std::size_t i = 0; i < recording.size() && cost < least; ++i) {
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) + offset;
            cost += std::fabs(recording[i] -
                              (at >= 0 && at < size ? reference[static_cast<std::size_t>(at)] : 0));
        }
        if (cost < least) {
            least = cost;
            best = offset;
        }
    }
    return best;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

std::vector<ChannelSound> measure(std::span<const float> interleaved, std::size_t channels,
                                  const std::vector<std::size_t>& blocks) {
    std::vector<ChannelSound> sound;
    for (std::size_t channel = 0; channel < channels; ++channel) {
        std::vector<double> levels, frequencies;
        for (const std::size_t block : blocks) {
            const auto samples = channel_of(interleaved, channels, channel, block * REFERENCE_BLOCK,
                                            REFERENCE_BLOCK);
            levels.push_back(rms(samples));
            frequencies.push_back(zero_crossing_frequency(samples));
        }
        sound.push_back({median(levels), median(frequencies)});
    }
    return sound;
}

}  // namespace

Comparison compare_to_reference(std::span<const float> recording, std::span<const float> reference,
                                std::size_t channels, double loud_level,
                                std::size_t reference_channels) {
    Comparison result;
    if (reference_channels == 0) reference_channels = channels;
    if (channels == 0) return result;
    // Lined up to the block first, then to the millisecond around that.
    const auto coarse_recording = block_rms(recording, channels, REFERENCE_BLOCK);
    const auto coarse_reference = block_rms(reference, reference_channels, REFERENCE_BLOCK);
    const auto blocks = static_cast<std::ptrdiff_t>(coarse_recording.size());
    const std::ptrdiff_t coarse =
        best_offset(coarse_recording, coarse_reference, 1 - blocks,
                    static_cast<std::ptrdiff_t>(coarse_reference.size()) - 1);
    const auto steps = static_cast<std::ptrdiff_t>(REFERENCE_BLOCK / FINE);
    const std::ptrdiff_t fine = best_offset(block_rms(recording, channels, FINE),
                                            block_rms(reference, reference_channels, FINE),
                                            coarse * steps - steps, coarse * steps + steps);
    result.offset = fine / steps;

    // The reference from the recording's first frame on, silent where it has nothing.
    const std::ptrdiff_t shift = fine * static_cast<std::ptrdiff_t>(FINE * reference_channels);
    std::vector<float> lined_up(recording.size() / channels * reference_channels, 0.0f);
    for (std::size_t i = 0; i < lined_up.size(); ++i) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) + shift;
        if (at >= 0 && at < static_cast<std::ptrdiff_t>(reference.size())) {
            lined_up[i] = reference[static_cast<std::size_t>(at)];
        }
    }
    const auto theirs = block_rms(lined_up, reference_channels, REFERENCE_BLOCK);
    std::vector<bool> both;
    std::size_t run = 0;
    std::optional<std::size_t> first;
    for (std::size_t b = 0; b < coarse_recording.size(); ++b) {
        const bool mine_loud = coarse_recording[b] >= loud_level;
        const bool their_loud = theirs[b] >= loud_level;
        both.push_back(mine_loud && their_loud);
        if (mine_loud && !their_loud) ++result.extra;
        if (!their_loud) continue;
        if (!first) first = b;
        ++result.loud;
        run = mine_loud ? 0 : run + 1;
        if (!mine_loud) ++result.missing;
        result.longest_missing = std::max(result.longest_missing, run);
    }
    result.first_loud = first.value_or(coarse_recording.size());
    // Blocks loud in both, with loud neighbours: the steady sound, away from its edges.
    std::vector<std::size_t> steady;
    for (std::size_t b = 1; b + 1 < both.size(); ++b) {
        if (both[b - 1] && both[b] && both[b + 1]) steady.push_back(b);
    }
    result.recording = measure(recording, channels, steady);
    result.reference = measure(lined_up, reference_channels, steady);
    return result;
}

}  // namespace test_support
