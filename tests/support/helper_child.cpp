#include "tests/support/helper_child.h"

#include <cstdlib>
#include <string_view>

#ifndef HELPER_BINARY
#error "HELPER_BINARY must name the helper executable"
#endif

namespace test_support {

const char* helper_binary() { return HELPER_BINARY; }

std::vector<std::string> helper_environment(const PulseDaemon& server,
                                            const std::optional<std::string>& pulse_server) {
    std::vector<std::string> env = {
        "PATH=/usr/bin:/bin",
        "HOME=" + server.directory(),
        "XDG_RUNTIME_DIR=" + server.directory(),
        "PULSE_SERVER=" + pulse_server.value_or(server.server()),
        "PULSE_CLIENTCONFIG=" + server.client_config(),
        "LANG=C",
    };
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    // ThreadSanitizer pauses a second at exit by default, which would hide how promptly the
    // helper ends; other builds ignore the setting.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    env.push_back(std::string("TSAN_OPTIONS=") +
                  (tsan != nullptr && *tsan != '\0' ? std::string(tsan) + ":" : "") +
                  "atexit_sleep_ms=0");
    return env;
}

std::optional<double> ok_seconds(const std::string& out) {
    // "OK ", digits, optionally a point and more digits, one newline: nothing else.
    if (!out.starts_with("OK ") || !out.ends_with('\n')) return std::nullopt;
    const std::string_view number(out.data() + 3, out.size() - 4);
    const auto point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? "0" : number.substr(point + 1);
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits(whole) || !digits(fraction)) return std::nullopt;
    return std::strtod(std::string(number).c_str(), nullptr);
}

}  // namespace test_support
