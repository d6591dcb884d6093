#include "src/status_line.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>

#include "util/write_all.h"

namespace helper {

namespace {

// One write(2) per line where the line fits, so a reader gets it whole even when the
// process ends right after. Built on the stack: unavailable() may run after allocation
// has started failing.
void print_line(std::string_view prefix, std::string_view body,
                const LineGiveUp& give_up = std::nullopt) noexcept {
    std::array<char, 4096> buffer;
    if (prefix.size() + body.size() + 1 <= buffer.size()) {
        auto* end = std::copy(prefix.begin(), prefix.end(), buffer.data());
        end = std::copy(body.begin(), body.end(), end);
        *end++ = '\n';
        write_all(STDOUT_FILENO, {buffer.data(), static_cast<std::size_t>(end - buffer.data())},
                  give_up);
        return;
    }
    // A very long reason (a long path in an error text) goes out in pieces.
    if (write_all(STDOUT_FILENO, prefix, give_up) && write_all(STDOUT_FILENO, body, give_up)) {
        write_all(STDOUT_FILENO, "\n", give_up);
    }
}

}  // namespace

bool write_all(int fd, std::string_view text, const LineGiveUp& give_up) noexcept {
    for (;;) {
        const auto [bytes, error] = util::write_all(fd, text.data(), text.size());
        text.remove_prefix(bytes);
        if (text.empty()) return true;
        if (error != EAGAIN && error != EWOULDBLOCK) return false;
        int timeout = -1;
        if (give_up) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *give_up - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            timeout = static_cast<int>(left.count());
        }
        // A reader that has gone polls as an error: the next write says so.
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, timeout) < 0 && errno != EINTR) return false;
    }
}

bool status_line_unreadable() noexcept {
    struct stat info {};
    if (::fstat(STDOUT_FILENO, &info) != 0) return false;
    if (!S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode)) return false;
    // A pipe without readers polls as an error for its writer; a socket whose peer has
    // gone, as a hang-up.
    pollfd entry{STDOUT_FILENO, 0, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP)) != 0;
}

void print_ok(double seconds) noexcept {
    // Shortest round-trip text has at most 17 significant digits; in fixed form the widest
    // doubles are the largest (309 integer digits) and the smallest subnormal (a "0." and 324
    // fraction places).
    std::array<char, 400> text;
    auto [end, ec] =
        std::to_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
    if (ec != std::errc{}) return print_line("OK ", "0");  // cannot happen with the size above
    print_line("OK ", {text.data(), static_cast<std::size_t>(end - text.data())});
}

void print_unavailable(std::string_view reason) noexcept { print_line("UNAVAILABLE ", reason); }

void unavailable(std::string_view reason, const LineGiveUp& give_up) noexcept {
    print_line("UNAVAILABLE ", reason, give_up);
    ::_exit(0);
}

}  // namespace helper
