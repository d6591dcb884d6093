#pragma once

// What one process costs beyond its work, read in ways the machine's load does not sway:
// instruction counts from callgrind's output, resident memory per mapped file from
// /proc/<pid>/smaps, and each thread's context switches from /proc/<pid>/task.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace bench {

// The event total of a callgrind output file's text (its "totals:" line, else its
// "summary:" line). Nothing when neither holds a number.
std::optional<std::uint64_t> parse_callgrind_total(std::string_view callgrind_out);

// From the text of `callgrind_annotate --inclusive=yes`, the inclusive count of the function
// named exactly `function` (a line "N (P%)  file:function [object]"). Nothing when absent.
std::optional<std::uint64_t> parse_inclusive_count(std::string_view annotate,
                                                   std::string_view function);

struct MappedFile {
    std::string path;  // empty for anonymous memory of every kind ([heap], [stack], none)
    long rss_kib = 0;
};

// Resident KiB per mapped file, summed over the file's mappings, largest first; anonymous
// mappings are summed under one empty path.
std::vector<MappedFile> parse_smaps_by_file(std::string_view smaps);

struct ThreadSwitches {
    pid_t tid = 0;
    std::string name;
    unsigned long long voluntary = 0;    // the thread went to sleep: one wake-up each
    unsigned long long involuntary = 0;  // the thread was preempted: the machine's load
};

// Every thread of a running process with its switches so far, by thread id.
std::vector<ThreadSwitches> thread_switches(pid_t pid);

// "VmHWM" of /proc/<pid>/status in KiB, or nothing.
std::optional<long> peak_rss_kib(pid_t pid);

}  // namespace bench
