#include "capture/error.h"

#include <cstring>
#include <iterator>

#include "util/overloaded.h"

namespace capture {

namespace {

constexpr std::string_view UNKNOWN_ERROR = "Unknown error";

std::string prefixed(std::string_view prefix, const std::string& message) {
    std::string text(prefix);
    text += message;
    return text;
}

}  // namespace

std::optional<SCStreamErrorCode> stream_error_code_from_raw(std::int32_t raw) {
    if (raw < -3821 || raw > -3801) return std::nullopt;
    return static_cast<SCStreamErrorCode>(raw);
}

std::string_view to_text(SCStreamErrorCode code) {
    // Indexed by -3801 - code.
    static constexpr std::string_view TEXTS[] = {
        "User declined screen recording",
        "Failed to start stream",
        "Missing entitlements",
        "Application connection invalid",
        "Application connection interrupted",
        "No matching application context",
        "Stream is already running",
        "Stream is not running",
        "Cannot update filter while streaming",
        "Cannot configure while streaming",
        "Internal error",
        "Invalid parameter",
        "No window list provided",
        "No display list provided",
        "No capture source provided",
        "Failed to remove stream",
        "User stopped the stream",
        "Failed to start audio capture",
        "Failed to stop audio capture",
        "Failed to start microphone capture",
        "System stopped the stream",
    };
    const std::int64_t index = -3801 - std::int64_t{static_cast<std::int32_t>(code)};
    // Out of range only through a cast of a value outside the enumeration.
    if (index < 0 || index >= std::ssize(TEXTS)) return UNKNOWN_ERROR;
    return TEXTS[index];
}

std::string SCError::to_string() const {
    return std::visit(
        util::Overloaded{
            [](const InvalidConfiguration& e) {
                return prefixed("Invalid configuration: ", e.message);
            },
            [](const InvalidDimension& e) {
                return "Invalid dimension: " + e.field + " must be greater than 0 (got " +
                       std::to_string(e.value) + ")";
            },
            [](const InvalidPixelFormat& e) {
                return prefixed("Invalid pixel format: ", e.message);
            },
            [](const NoShareableContent& e) {
                return prefixed("No shareable content available: ", e.message);
            },
            [](const DisplayNotFound& e) { return prefixed("Display not found: ", e.message); },
            [](const WindowNotFound& e) { return prefixed("Window not found: ", e.message); },
            [](const ApplicationNotFound& e) {
                return prefixed("Application not found: ", e.message);
            },
            [](const StreamError& e) { return prefixed("Stream error: ", e.message); },
            [](const CaptureStartFailed& e) {
                return prefixed("Failed to start capture: ", e.message);
            },
            [](const CaptureStopFailed& e) {
                return prefixed("Failed to stop capture: ", e.message);
            },
            [](const BufferLockFailed& e) {
                return prefixed("Failed to lock pixel buffer: ", e.message);
            },
            [](const BufferUnlockFailed& e) {
                return prefixed("Failed to unlock pixel buffer: ", e.message);
            },
            [](const InvalidBuffer& e) { return prefixed("Invalid buffer: ", e.message); },
            [](const ScreenshotError& e) {
                return prefixed("Screenshot capture failed: ", e.message);
            },
            [](const PermissionDenied& e) {
                return "Permission denied: " + e.message +
                       ". Check System Preferences \u2192 Security & Privacy \u2192 Screen "
                       "Recording";
            },
            [](const FeatureNotAvailable& e) {
                return "Feature not available: " + e.feature + " requires macOS " +
                       e.required_version + "+";
            },
            [](const FfiError& e) { return prefixed("FFI error: ", e.message); },
            [](const NullPointer& e) { return prefixed("Null pointer: ", e.message); },
            [](const Timeout& e) { return prefixed("Operation timed out: ", e.message); },
            [](const InternalError& e) { return prefixed("Internal error: ", e.message); },
            [](const OsError& e) {
                return "OS error " + std::to_string(e.code) + ": " + e.message;
            },
            [](const SCStreamError& e) {
                const std::string code_text(to_text(e.code));
                if (e.message) return "SCStream error (" + code_text + "): " + *e.message;
                return "SCStream error: " + code_text;
            },
        },
        value_);
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0;  // overlong
            else if (lead == 0xED)
                high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90;  // overlong
            else if (lead == 0xF4)
                high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (n - i < length) return false;
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        if (second < low || second > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if (next < 0x80 || next > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

std::string error_from_cstr(const char* text) {
    if (text == nullptr) return std::string(UNKNOWN_ERROR);
    const std::string_view bytes(text, std::strlen(text));
    if (!is_valid_utf8(bytes)) return std::string(UNKNOWN_ERROR);
    return std::string(bytes);
}

}  // namespace capture
