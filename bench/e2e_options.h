#pragma once

// The end-to-end benchmark's command line.

#include <optional>
#include <string>

namespace bench {

struct Options {
    std::string helper;
    std::string baseline;  // another build of the helper, measured alongside, for before and after
    int seconds = 20;
    int rounds = 3;
    int stop_runs = 20;
    int player_latency_ms = 0;  // 0: pacat's default buffer (about 2 s)
    bool pipewire = false;
    // Load mode when above 0: this many busy loops and a disk writer while every recorder
    // records a steady tone at once (bench/load_run.h).
    int load_loops = 0;
    int helper_nice = 0;  // the nice value the helper (and the baseline) is started at
};

inline constexpr const char* USAGE =
    "usage: e2e_bench [--helper PATH] [--secs N] [--rounds N] [--stop-runs N] "
    "[--player-latency-ms N] [--baseline PATH] [--server pulseaudio|pipewire] "
    "[--load N] [--nice N]\n";

// Nothing on an unknown option, a missing or malformed value, or a zero count where only
// the player's latency, the load and the nice value may be zero (a nice value is 0 to 19). `helper`
// is the helper to measure unless --helper says.
std::optional<Options> parse_options(int argc, char** argv, std::string helper);

}  // namespace bench
