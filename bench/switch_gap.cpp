#include "bench/switch_gap.h"

#include <algorithm>
#include <cmath>

#include "tests/support/tone_meter.h"

namespace bench {

std::vector<bool> tone_present(std::span<const double> levels, double floor) {
    std::vector<double> loud;
    for (const double level : levels) {
        if (level >= floor) loud.push_back(level);
    }
    std::vector<bool> present(levels.size(), false);
    if (loud.empty()) return present;
    const auto middle = loud.begin() + static_cast<std::ptrdiff_t>(loud.size() / 2);
    std::nth_element(loud.begin(), middle, loud.end());
    const double half = *middle / 2;
    for (std::size_t i = 0; i < levels.size(); ++i) present[i] = levels[i] >= half;
    return present;
}

std::size_t tone_blocks(std::span<const float> interleaved, std::uint32_t channels,
                        std::uint32_t rate, std::size_t block) {
    const auto levels =
        test_support::tone_levels(interleaved, channels, rate, test_support::TONE_HZ, block);
    const auto present = tone_present(levels, test_support::TONE_AMPLITUDE / 4);
    return static_cast<std::size_t>(std::count(present.begin(), present.end(), true));
}

double missing_share(std::size_t present, double wall_blocks, std::size_t reference_present,
                     double reference_wall_blocks) {
    if (reference_present == 0 || reference_wall_blocks <= 0 || wall_blocks <= 0) return 0;
    const double expected =
        wall_blocks * static_cast<double>(reference_present) / reference_wall_blocks;
    return std::max(0.0, 1.0 - static_cast<double>(present) / expected);
}

SwitchGaps switch_gaps(const std::vector<bool>& present, std::span<const double> switch_ms,
                       double reach_ms, double dropped_ms) {
    SwitchGaps gaps;
    const auto first = std::find(present.begin(), present.end(), true);
    if (first == present.end()) return gaps;
    const auto from = static_cast<std::size_t>(first - present.begin());
    const auto to =
        present.size() - static_cast<std::size_t>(
                             std::find(present.rbegin(), present.rend(), true) - present.rbegin());
    // Window indices in [from, to), clipped to the tone's span in the file.
    auto clip = [&](double ms) {
        return std::clamp(static_cast<std::size_t>(std::max(0.0, std::floor(ms))), from, to);
    };
    const double share =
        switch_ms.empty() ? 0.0 : std::max(0.0, dropped_ms) / static_cast<double>(switch_ms.size());
    for (const double at : switch_ms) {
        const std::size_t begin = clip(at - reach_ms);
        const std::size_t end = clip(at + reach_ms);
        const auto missing = std::count(present.begin() + static_cast<std::ptrdiff_t>(begin),
                                        present.begin() + static_cast<std::ptrdiff_t>(end), false);
        gaps.lost_ms.push_back(static_cast<double>(missing) + share);
    }
    std::size_t longest = 0, run = 0;
    for (std::size_t i = from; i < to; ++i) {
        run = present[i] ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    const auto reach = static_cast<std::size_t>(reach_ms);
    gaps.follows = longest <= reach && present.size() - to <= reach;
    return gaps;
}

}  // namespace bench
