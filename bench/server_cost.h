#pragma once

// What a recorder costs the sound server, read the way the benchmark reads it: the
// server's CPU time from /proc/<pid>/stat, the part of it a recorder adds over the idle
// server, and the sink's latency as the server reports it ("pactl list sinks").

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace bench {

// User + system time of every thread of the process, in clock ticks, from the text of
// /proc/<pid>/stat (fields 14 and 15). The command name in parentheses may hold spaces
// and parentheses of its own, so the fields are counted from the last ')'. Nothing when
// the text is not such a line.
std::optional<unsigned long long> parse_stat_cpu_ticks(std::string_view stat);

// The same for a running process, in seconds (ticks over sysconf(_SC_CLK_TCK)).
std::optional<double> process_cpu_seconds(pid_t pid);

// Context switches (voluntary and not) of every thread of the process so far, from
// /proc/<pid>/task/*/status. Nothing when the process is gone.
std::optional<unsigned long long> process_context_switches(pid_t pid);

// What a recorder added to the server: its CPU over the recording window less what the
// idle server spends in as long, from a rate measured over another window in the same
// round. Can come out below zero by up to the tick resolution of both readings.
double server_extra_seconds(double during_cpu, double during_window, double idle_cpu,
                            double idle_window);

struct SinkLatency {
    double latency_ms = 0;     // how far ahead the sink has rendered, now
    double configured_ms = 0;  // what its clients asked for (the least of their requests)
};

// From the output of "pactl list sinks", the line "Latency: X usec, configured Y usec"
// of the sink named `sink`. Nothing when that sink or its line is missing or malformed.
std::optional<SinkLatency> parse_sink_latency(std::string_view pactl_list_sinks,
                                              std::string_view sink);

}  // namespace bench
