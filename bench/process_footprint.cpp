#include "bench/process_footprint.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace bench {

namespace {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The number that starts `text` after spaces, its thousands separators skipped.
std::optional<std::uint64_t> leading_count(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    std::string digits;
    for (const char c : text) {
        if (c == ',') continue;
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) break;
        digits.push_back(c);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> line_value(std::string_view text, std::string_view key) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.starts_with(key)) return leading_count(line.substr(key.size()));
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> parse_callgrind_total(std::string_view callgrind_out) {
    if (auto total = line_value(callgrind_out, "totals:")) return total;
    return line_value(callgrind_out, "summary:");
}

std::optional<std::uint64_t> parse_inclusive_count(std::string_view annotate,
                                                   std::string_view function) {
    const std::string wanted = ":" + std::string(function) + " [";
    for (std::size_t at = 0; at < annotate.size();) {
        const std::size_t end = std::min(annotate.find('\n', at), annotate.size());
        const std::string_view line = annotate.substr(at, end - at);
        if (line.find(wanted) != std::string_view::npos) return leading_count(line);
        at = end + 1;
    }
    return std::nullopt;
}

std::vector<MappedFile> parse_smaps_by_file(std::string_view smaps) {
    std::map<std::string, long> by_file;
    std::string current;
    std::istringstream in{std::string(smaps)};
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        if (first == "Rss:") {
            long kib = 0;
            fields >> kib;
            by_file[current] += kib;
        } else if (first.find('-') != std::string::npos && !first.ends_with(':')) {
            // "start-end perms offset dev inode [path]": the path may hold spaces.
            std::string skip;
            for (int i = 0; i < 4; ++i) fields >> skip;
            std::string path;
            std::getline(fields >> std::ws, path);
            current = path.starts_with('/') ? path : std::string();
        }
    }
    std::vector<MappedFile> files;
    for (auto& [path, kib] : by_file) files.push_back({path, kib});
    std::stable_sort(files.begin(), files.end(), [](const MappedFile& a, const MappedFile& b) {
        return a.rss_kib > b.rss_kib;
    });
    return files;
}

std::vector<ThreadSwitches> thread_switches(pid_t pid) {
    std::vector<ThreadSwitches> threads;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        ThreadSwitches thread;
        thread.tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
        thread.name = read_file(task.path() / "comm");
        if (!thread.name.empty() && thread.name.back() == '\n') thread.name.pop_back();
        const std::string status = read_file(task.path() / "status");
        thread.voluntary = line_value(status, "voluntary_ctxt_switches:").value_or(0);
        thread.involuntary = line_value(status, "nonvoluntary_ctxt_switches:").value_or(0);
        threads.push_back(std::move(thread));
    }
    std::sort(threads.begin(), threads.end(),
              [](const ThreadSwitches& a, const ThreadSwitches& b) { return a.tid < b.tid; });
    return threads;
}

std::optional<long> peak_rss_kib(pid_t pid) {
    const auto value = line_value(read_file("/proc/" + std::to_string(pid) + "/status"), "VmHWM:");
    if (!value) return std::nullopt;
    return static_cast<long>(*value);
}

}  // namespace bench
