#include "bench/server_cost.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <unistd.h>

namespace bench {

namespace {

// Skips spaces, then reads one unsigned decimal number; nothing if there is none.
std::optional<unsigned long long> read_number(std::string_view& text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

std::string_view trim_left(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

}  // namespace

std::optional<unsigned long long> parse_stat_cpu_ticks(std::string_view stat) {
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // Field 3 (the state letter) comes first after the name; utime and stime are fields
    // 14 and 15, so ten numbers lie between them and the state.
    rest = trim_left(rest);
    if (rest.empty() || rest.front() < 'A' || rest.front() > 'z') return std::nullopt;
    rest.remove_prefix(1);
    for (int field = 4; field <= 13; ++field) {
        // tpgid (field 8) is -1 for a process without a controlling terminal.
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        if (!rest.empty() && rest.front() == '-') rest.remove_prefix(1);
        if (!read_number(rest)) return std::nullopt;
    }
    const auto utime = read_number(rest);
    const auto stime = read_number(rest);
    if (!utime || !stime) return std::nullopt;
    return *utime + *stime;
}

std::optional<unsigned long long> process_context_switches(pid_t pid) {
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    unsigned long long total = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream in(task.path() / "status");
        std::string line;
        while (std::getline(in, line)) {
            std::string_view rest(line);
            const auto colon = rest.find(':');
            if (colon == std::string_view::npos ||
                !rest.substr(0, colon).ends_with("ctxt_switches"))
                continue;
            rest.remove_prefix(colon + 1);
            while (!rest.empty() && rest.front() == '\t') rest.remove_prefix(1);
            if (const auto count = read_number(rest)) total += *count;
        }
    }
    if (error) return std::nullopt;
    return total;
}

std::optional<double> process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    if (!in) return std::nullopt;
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    const auto ticks = parse_stat_cpu_ticks(text);
    const long per_second = ::sysconf(_SC_CLK_TCK);
    if (!ticks || per_second <= 0) return std::nullopt;
    return static_cast<double>(*ticks) / static_cast<double>(per_second);
}

double server_extra_seconds(double during_cpu, double during_window, double idle_cpu,
                            double idle_window) {
    const double idle_rate = idle_window > 0 ? idle_cpu / idle_window : 0.0;
    return during_cpu - idle_rate * during_window;
}

std::optional<SinkLatency> parse_sink_latency(std::string_view text, std::string_view sink) {
    // Sinks are blocks headed "Sink #N"; within one, "Name: <sink>" and then the
    // latency line, each indented by a tab.
    bool in_sink = false;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.starts_with("Sink #")) {
            in_sink = false;
            continue;
        }
        line = trim_left(line);
        if (line.starts_with("Name: ")) {
            std::string_view name = line.substr(6);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\r'))
                name.remove_suffix(1);
            in_sink = name == sink;
            continue;
        }
        if (!in_sink || !line.starts_with("Latency: ")) continue;
        std::string_view rest = line.substr(9);
        const auto latency = read_number(rest);
        constexpr std::string_view MIDDLE = " usec, configured ";
        if (!latency || !rest.starts_with(MIDDLE)) return std::nullopt;
        rest.remove_prefix(MIDDLE.size() - 1);
        const auto configured = read_number(rest);
        if (!configured || !rest.starts_with(" usec")) return std::nullopt;
        return SinkLatency{static_cast<double>(*latency) / 1000.0,
                           static_cast<double>(*configured) / 1000.0};
    }
    return std::nullopt;
}

}  // namespace bench
