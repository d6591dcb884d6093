#include "bench/e2e_options.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace bench {

namespace {

std::optional<int> parse_count(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 100000)
        return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, std::string helper) {
    Options options;
    options.helper = std::move(helper);
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) return std::nullopt;
        const char* value = argv[++i];
        if (name == "--server") {
            if (std::string(value) != "pipewire" && std::string(value) != "pulseaudio")
                return std::nullopt;
            options.pipewire = std::string(value) == "pipewire";
            continue;
        }
        if (name == "--helper" || name == "--baseline") {
            (name == "--helper" ? options.helper : options.baseline) = value;
            continue;
        }
        const auto count = parse_count(value);
        const bool may_be_zero =
            name == "--player-latency-ms" || name == "--load" || name == "--nice";
        if (!count || (*count == 0 && !may_be_zero)) return std::nullopt;
        if (name == "--secs") {
            options.seconds = *count;
        } else if (name == "--rounds") {
            options.rounds = *count;
        } else if (name == "--stop-runs") {
            options.stop_runs = *count;
        } else if (name == "--player-latency-ms") {
            options.player_latency_ms = *count;
        } else if (name == "--load") {
            options.load_loops = *count;
        } else if (name == "--nice") {
            if (*count > 19) return std::nullopt;
            options.helper_nice = *count;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace bench
