#include "bench/e2e_report.h"

#include <algorithm>
#include <cstdio>

namespace bench {

std::string load_average() {
    std::string text = read_file("/proc/loadavg");
    const auto cut = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return cut == std::string::npos ? text : text.substr(0, cut);
}

void print_idle(const Idle& idle) {
    std::printf("  %-16s server %.2f s in %.2f s (%.4f s per s)", "idle server", idle.cpu_seconds,
                idle.window_seconds, idle.cpu_seconds / idle.window_seconds);
    if (idle.sink_latency) {
        std::printf("; sink latency %.1f ms (configured %.1f ms)", idle.sink_latency->latency_ms,
                    idle.sink_latency->configured_ms);
    }
    std::printf("\n");
}

void print_bare_encoder(double hot, double paced, int seconds) {
    std::printf(
        "  %-16s cpu %7.3f s  back to back; %.3f s paced at one frame per 20 ms "
        "(in this process, the same %d s of music)\n",
        "bare opus_encode", hot, paced, seconds);
}

void print_measure(const char* name, const Measure& m) {
    std::printf(
        "  %-16s cpu %7.3f s  peak RSS %7.2f MiB  recorded %8.3f s  wall %8.3f s  "
        "recorded/wall %.4f  %6.1f kbit/s",
        name, m.cpu_seconds, m.max_rss_mib, m.recorded_seconds, m.wall_seconds,
        m.recorded_over_wall(), m.kbit_per_second);
    if (m.reported_seconds) std::printf("  (printed OK %.2f)", *m.reported_seconds);
    std::printf(
        "\n  %-16s server %.2f s in %.2f s, extra %+.3f s; own + extra %.3f s; "
        "server switches %+.1f/s",
        "", m.server_cpu_seconds, m.server_window_seconds, m.server_extra_seconds,
        m.system_cpu_seconds(), m.server_extra_switches_per_second);
    if (m.sink_latency) {
        std::printf("; sink latency %.1f ms (configured %.1f ms)", m.sink_latency->latency_ms,
                    m.sink_latency->configured_ms);
    }
    std::printf("\n");
    std::fflush(stdout);
}

void print_fidelity(const char* name, const Fidelity& f) {
    std::printf(
        "  %-16s onset loss %6.1f ms  start lead %7.1f ms  stop tail lost %6.1f ms "
        "(of the last %.0f ms before SIGINT, %.1f kept)\n",
        name, f.onset_loss_ms, f.start_lead_ms, f.stop_lost_ms, LAST_MS, f.last_kept_ms());
    std::fflush(stdout);
}

void print_switches(const char* name, const SwitchGaps& gaps) {
    std::printf("  %-16s default-output switches: ", name);
    if (!gaps.follows) std::printf("does not follow the default output (");
    std::printf("tone lost");
    for (const double ms : gaps.lost_ms) std::printf(" %.0f", ms);
    if (gaps.follows) {
        std::printf(" ms (median %.1f ms per switch)\n", median(gaps.lost_ms));
    } else {
        std::printf(" ms within %.0f ms of each switch)\n", SWITCH_REACH_MS);
    }
    std::fflush(stdout);
}

namespace {

// Every switch of the rounds where the recorder followed the default.
std::vector<double> followed_switches(const Recorder& r) {
    std::vector<double> lost;
    for (const auto& run : r.switches) {
        if (run.follows) lost.insert(lost.end(), run.lost_ms.begin(), run.lost_ms.end());
    }
    return lost;
}

void print_switch_medians(const Recorder& r) {
    if (r.switches.empty()) return;
    const auto lost = followed_switches(r);
    const auto stayed = std::count_if(r.switches.begin(), r.switches.end(),
                                      [](const SwitchGaps& g) { return !g.follows; });
    std::printf("  %-16s default-output switch: ", "");
    if (!lost.empty()) {
        std::printf("tone lost %.1f ms median per switch (%zu switches, %.0f .. %.0f ms)",
                    median(lost), lost.size(), *std::min_element(lost.begin(), lost.end()),
                    *std::max_element(lost.begin(), lost.end()));
    }
    if (stayed > 0) {
        std::printf("%sdoes not follow the default output in %td of %zu rounds",
                    lost.empty() ? "" : "; ", stayed, r.switches.size());
    }
    std::printf("\n");
}

}  // namespace

void print_summary(const Options& options, const std::vector<Recorder>& recorders,
                   const RoundFigures& rounds) {
    std::printf("medians over %d rounds\n", options.rounds);
    struct Row {
        double cpu, rss, recorded, wall, ratio, kbps, switches;
    };
    std::vector<Row> rows;
    for (const auto& r : recorders) {
        Row row{r.median_of([](const Measure& m) { return m.cpu_seconds; }),
                r.median_of([](const Measure& m) { return m.max_rss_mib; }),
                r.median_of([](const Measure& m) { return m.recorded_seconds; }),
                r.median_of([](const Measure& m) { return m.wall_seconds; }),
                r.median_of([](const Measure& m) { return m.recorded_over_wall(); }),
                r.median_of([](const Measure& m) { return m.kbit_per_second; }),
                r.median_of([](const Measure& m) { return m.switches_per_second(); })};
        rows.push_back(row);
        std::printf(
            "  %-16s cpu %7.3f s  peak RSS %7.2f MiB  recorded %8.3f s  wall %8.3f s  "
            "recorded/wall %.4f  %6.1f kbit/s  %6.1f context switches/s\n",
            r.name, row.cpu, row.rss, row.recorded, row.wall, row.ratio, row.kbps, row.switches);
        std::vector<double> latency, configured;
        for (const auto& m : r.measures) {
            if (!m.sink_latency) continue;
            latency.push_back(m.sink_latency->latency_ms);
            configured.push_back(m.sink_latency->configured_ms);
        }
        std::printf(
            "  %-16s server extra %+.3f s  own + extra %.3f s  sink latency %.1f ms (configured "
            "%.1f ms, "
            "%zu of %zu samples); server switches %+.1f/s\n",
            "", r.median_of([](const Measure& m) { return m.server_extra_seconds; }),
            r.median_of([](const Measure& m) { return m.system_cpu_seconds(); }), median(latency),
            median(configured), latency.size(), r.measures.size(),
            r.median_of([](const Measure& m) { return m.server_extra_switches_per_second; }));
        auto fidelity_median = [&](double (*get)(const Fidelity&)) {
            std::vector<double> values;
            for (const auto& f : r.fidelity) values.push_back(get(f));
            return median(values);
        };
        print_switch_medians(r);
        if (r.fidelity.empty()) continue;
        std::printf(
            "  %-16s onset loss %.1f ms  start lead %.1f ms  stop tail lost %.1f ms (%.1f of the "
            "last "
            "%.0f ms kept)\n",
            "", fidelity_median([](const Fidelity& f) { return f.onset_loss_ms; }),
            fidelity_median([](const Fidelity& f) { return f.start_lead_ms; }),
            fidelity_median([](const Fidelity& f) { return f.stop_lost_ms; }),
            fidelity_median([](const Fidelity& f) { return f.last_kept_ms(); }), LAST_MS);
    }
    {
        std::vector<double> idle_rates, idle_latency;
        for (const auto& idle : rounds.idles) {
            idle_rates.push_back(idle.cpu_seconds / idle.window_seconds);
            if (idle.sink_latency) idle_latency.push_back(idle.sink_latency->latency_ms);
        }
        std::printf("  %-16s server %.4f s per s  sink latency %.1f ms (%zu of %zu samples)\n",
                    "idle server", median(idle_rates), median(idle_latency), idle_latency.size(),
                    rounds.idles.size());
    }
    const double hot = median(rounds.hot_encoder);
    const double paced = median(rounds.paced_encoder);
    std::printf("  %-16s cpu %7.3f s back to back, %.3f s paced\n", "bare opus_encode", hot, paced);
    const Row& helper = rows[0];
    const Row& ffmpeg = rows[1];
    const Row& pipeline = rows[3];
    // CPU time of wake-heavy processes on a virtual machine moves with whatever else the
    // machine does, so each ratio is taken within a round, between runs a minute apart,
    // and its median over the rounds is the figure; the spread shows how settled it is.
    auto per_round = [&](auto numerator, auto denominator) {
        std::vector<double> values;
        for (int round = 0; round < options.rounds; ++round) {
            values.push_back(numerator(static_cast<std::size_t>(round)) /
                             denominator(static_cast<std::size_t>(round)));
        }
        return values;
    };
    auto cpu_of = [&](std::size_t recorder) {
        return [&, recorder](std::size_t round) {
            return recorders[recorder].measures[round].cpu_seconds;
        };
    };
    auto system_of = [&](std::size_t recorder) {
        return [&, recorder](std::size_t round) {
            return recorders[recorder].measures[round].system_cpu_seconds();
        };
    };
    auto paced_at = [&](std::size_t round) { return rounds.paced_encoder[round]; };
    auto hot_at = [&](std::size_t round) { return rounds.hot_encoder[round]; };
    auto print_ratio = [](const char* label, const std::vector<double>& values, const char* goal) {
        std::printf("  %-32s %.3f (rounds %.3f .. %.3f)%s\n", label, median(values),
                    *std::min_element(values.begin(), values.end()),
                    *std::max_element(values.begin(), values.end()), goal);
    };
    std::printf("ratios, median over rounds of each round's ratio\n");
    print_ratio("cpu helper/ffmpeg:", per_round(cpu_of(0), cpu_of(1)), " (goal <= 0.5)");
    print_ratio("cpu helper/ffmpeg 10 ms:", per_round(cpu_of(0), cpu_of(2)), "");
    print_ratio("cpu helper/pipeline:", per_round(cpu_of(0), cpu_of(3)), " (goal <= 1.0)");
    print_ratio("cpu paced encoder/ffmpeg:", per_round(paced_at, cpu_of(1)),
                " (the least any real-time encoder costs against ffmpeg)");
    for (std::size_t k = 0; k < recorders.size(); ++k) {
        const std::string label = std::string("cpu ") + recorders[k].name + "/paced encoder:";
        print_ratio(label.c_str(), per_round(cpu_of(k), paced_at), "");
    }
    print_ratio("cpu helper/hot encoder:", per_round(cpu_of(0), hot_at), "");
    // The same comparisons on the whole machine: each recorder's own CPU plus what it
    // added to the sound server's.
    std::printf("system-wide (own cpu + server extra) beside own cpu, median over rounds\n");
    for (std::size_t k = 1; k < recorders.size(); ++k) {
        const std::string own = std::string("cpu helper/") + recorders[k].name + ":";
        const std::string system = std::string("system helper/") + recorders[k].name + ":";
        print_ratio(own.c_str(), per_round(cpu_of(0), cpu_of(k)), k == 1 ? " (goal <= 0.5)" : "");
        const char* goal = k == 1 ? (options.pipewire ? " (goal <= 0.4)" : " (goal <= 0.6)")
                                  : (k == 3 && options.pipewire ? " (goal <= 1.0)" : "");
        print_ratio(system.c_str(), per_round(system_of(0), system_of(k)), goal);
    }
    {
        // What the helper adds to the servers' context switches beyond what the pipeline's
        // recorder adds, in the same round.
        std::vector<double> beyond;
        for (int round = 0; round < options.rounds; ++round) {
            const auto at = static_cast<std::size_t>(round);
            beyond.push_back(recorders[0].measures[at].server_extra_switches_per_second -
                             recorders[3].measures[at].server_extra_switches_per_second);
        }
        const std::string label = std::string("server switches helper - ") + recorders[3].name;
        print_ratio((label + ":").c_str(), beyond,
                    options.pipewire ? " per s (goal <= +10)" : " per s");
    }
    if (recorders.size() > 4) {
        print_ratio("cpu helper/helper baseline:", per_round(cpu_of(0), cpu_of(4)), "");
        std::printf("  %-32s %.3f\n", "peak RSS helper/baseline:", helper.rss / rows[4].rss);
    }
    std::printf("  %-32s %.3f\n", "peak RSS helper/ffmpeg:", helper.rss / ffmpeg.rss);
    std::printf("  %-32s %.3f\n", "peak RSS helper/pipeline:", helper.rss / pipeline.rss);
    std::printf("  %-32s %.2f MiB, largest round %.2f MiB (goal <= 8 MiB)\n",
                "helper peak RSS:", helper.rss,
                recorders[0].max_of([](const Measure& m) { return m.max_rss_mib; }));
    std::printf("  %-32s %.4f, rounds %.4f .. %.4f (goal within 1 %%: 0.99 .. 1.01)\n",
                "helper recorded/wall:", helper.ratio,
                recorders[0].min_of([](const Measure& m) { return m.recorded_over_wall(); }),
                recorders[0].max_of([](const Measure& m) { return m.recorded_over_wall(); }));
    {
        std::vector<double> onset, tail;
        for (const auto& f : recorders[0].fidelity) {
            onset.push_back(f.onset_loss_ms);
            tail.push_back(f.stop_lost_ms);
        }
        std::printf("  %-32s %.1f ms, rounds %.1f .. %.1f (goal <= 50 ms)\n",
                    "helper onset loss:", median(onset),
                    *std::min_element(onset.begin(), onset.end()),
                    *std::max_element(onset.begin(), onset.end()));
        std::printf("  %-32s %.1f ms, rounds %.1f .. %.1f (goal <= 50 ms)\n",
                    "helper stop tail lost:", median(tail),
                    *std::min_element(tail.begin(), tail.end()),
                    *std::max_element(tail.begin(), tail.end()));
    }
    if (!recorders[0].switches.empty()) {
        const auto lost = followed_switches(recorders[0]);
        if (lost.empty()) {
            std::printf("  %-32s does not follow the default output\n", "helper switch gap:");
        } else {
            std::printf(
                "  %-32s %.1f ms median per switch, switches %.0f .. %.0f ms (goal <= 60 ms)\n",
                "helper switch gap:", median(lost), *std::min_element(lost.begin(), lost.end()),
                *std::max_element(lost.begin(), lost.end()));
        }
    }
    std::printf(
        "stop latency, SIGINT to exit, %d runs: median %.1f ms, min %.1f ms, max %.1f ms "
        "(goal median <= 120 ms)\n",
        options.stop_runs, median(rounds.stop_latencies),
        *std::min_element(rounds.stop_latencies.begin(), rounds.stop_latencies.end()),
        *std::max_element(rounds.stop_latencies.begin(), rounds.stop_latencies.end()));
}

}  // namespace bench
