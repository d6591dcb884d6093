#include "capture/callback_guard.h"

#include <string>

#include "capture/diagnostic_line.h"

namespace capture {

namespace {

constexpr std::string_view NON_STRING_PAYLOAD = "<non-string panic payload>";

std::string failure_message(const std::exception_ptr& failure) {
    if (!failure) return std::string(NON_STRING_PAYLOAD);
    try {
        std::rethrow_exception(failure);
    } catch (const char* text) {
        return text != nullptr ? std::string(text) : std::string(NON_STRING_PAYLOAD);
    } catch (const std::string& text) {
        return text;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return std::string(NON_STRING_PAYLOAD);
    }
}

}  // namespace

void log_callback_panic(std::string_view name, const std::exception_ptr& failure) noexcept {
    // Building the line can itself fail (out of memory); that failure is dropped like a
    // failed write.
    try {
        std::string line = "kelvane-utils: panic in ";
        line += name;
        line += " caught at C ABI boundary: ";
        line += failure_message(failure);
        line += '\n';
        write_diagnostic_line(line);
    } catch (...) {}
}

}  // namespace capture
