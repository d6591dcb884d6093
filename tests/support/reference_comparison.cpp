#include "tests/support/reference_comparison.h"

#include <algorithm>
#include <cmath>

#include "tests/support/tone_meter.h"

namespace test_support {
namespace {

constexpr std::size_t FINE = REFERENCE_BLOCK / 10;  // 1 ms

// The offset in [from, to] at which `reference` (levels, silent outside its range) agrees best
// with `recording`: the greatest sum of products, which a stretch that only one of them holds
// does not lower; the earliest of equals.
std::ptrdiff_t best_offset(const std::vector<double>& recording,
                           const std::vector<double>& reference, std::ptrdiff_t from,
                           std::ptrdiff_t to) {
    const auto size = static_cast<std::ptrdiff_t>(reference.size());
    std::ptrdiff_t best = from;
    double most = -1;
    for (std::ptrdiff_t offset = from; offset <= to; ++offset) {
        double agreement = 0;
        for (std::size_t i = 0; i < recording.size(); ++i) {
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) + offset;
            if (at >= 0 && at < size) {
                agreement += recording[i] * reference[static_cast<std::size_t>(at)];
            }
        }
        if (agreement > most) {
            most = agreement;
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
    const std::size_t width = reference_channels == 0 ? channels : reference_channels;
    if (channels == 0) return result;
    // To the block first, then to the millisecond around that.
    const auto mine = block_rms(recording, channels, REFERENCE_BLOCK);
    const auto coarse_reference = block_rms(reference, width, REFERENCE_BLOCK);
    const std::ptrdiff_t coarse =
        best_offset(mine, coarse_reference, 1 - static_cast<std::ptrdiff_t>(mine.size()),
                    static_cast<std::ptrdiff_t>(coarse_reference.size()) - 1);
    const auto steps = static_cast<std::ptrdiff_t>(REFERENCE_BLOCK / FINE);
    const std::ptrdiff_t fine =
        best_offset(block_rms(recording, channels, FINE), block_rms(reference, width, FINE),
                    coarse * steps - steps, coarse * steps + steps);

    // The reference from the recording's first frame on, silent where it has nothing. Blocks it
    // does not cover are not compared: a recorder stopped at the end loses what it had not been
    // handed yet.
    const std::ptrdiff_t shift = fine * static_cast<std::ptrdiff_t>(FINE * width);
    const auto length = static_cast<std::ptrdiff_t>(reference.size());
    std::vector<float> theirs(recording.size() / channels * width, 0.0f);
    for (std::size_t i = 0; i < theirs.size(); ++i) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) + shift;
        if (at >= 0 && at < length) theirs[i] = reference[static_cast<std::size_t>(at)];
    }
    const auto levels = block_rms(theirs, width, REFERENCE_BLOCK);
    const auto block_samples = static_cast<std::ptrdiff_t>(REFERENCE_BLOCK * width);
    std::vector<bool> both;
    for (std::size_t b = 0; b < mine.size(); ++b) {
        const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(b) * block_samples + shift;
        const bool known = start >= 0 && start + block_samples <= length;
        const bool mine_loud = mine[b] >= loud_level;
        const bool their_loud = levels[b] >= loud_level;
        both.push_back(known && mine_loud && their_loud);
        result.picture += !known                    ? ' '
                          : mine_loud == their_loud ? (mine_loud ? '#' : '.')
                          : mine_loud               ? '+'
                                                    : '-';
        if (!known) continue;
        if (mine_loud && !their_loud) ++result.extra;
        if (!their_loud) continue;
        ++result.loud;
        if (!mine_loud) ++result.missing;
    }
    const auto differs = result.picture.find_first_of("+-");
    result.picture = differs == std::string::npos ? std::string()
                                                  : "from block " + std::to_string(differs) + ": " +
                                                        result.picture.substr(differs);
    // Blocks loud in both, with loud neighbours: the steady sound, away from its edges.
    std::vector<std::size_t> steady;
    for (std::size_t b = 1; b + 1 < both.size(); ++b) {
        if (both[b - 1] && both[b] && both[b + 1]) steady.push_back(b);
    }
    result.recording = measure(recording, channels, steady);
    return result;
}

}  // namespace test_support
