#include "capture/error.h"

#include <cstring>

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
    switch (code) {
        case SCStreamErrorCode::UserDeclined:
            return "User declined screen recording";
        case SCStreamErrorCode::FailedToStart:
            return "Failed to start stream";
        case SCStreamErrorCode::MissingEntitlements:
            return "Missing entitlements";
        case SCStreamErrorCode::FailedApplicationConnectionInvalid:
            return "Application connection invalid";
        case SCStreamErrorCode::FailedApplicationConnectionInterrupted:
            return "Application connection interrupted";
        case SCStreamErrorCode::FailedNoMatchingApplicationContext:
            return "No matching application context";
        case SCStreamErrorCode::AttemptToStartStreamState:
            return "Stream is already running";
        case SCStreamErrorCode::AttemptToStopStreamState:
            return "Stream is not running";
        case SCStreamErrorCode::AttemptToUpdateFilterState:
            return "Cannot update filter while streaming";
        case SCStreamErrorCode::AttemptToConfigStreamState:
            return "Cannot configure while streaming";
        case SCStreamErrorCode::InternalError:
            return "Internal error";
        case SCStreamErrorCode::InvalidParameter:
            return "Invalid parameter";
        case SCStreamErrorCode::NoWindowList:
            return "No window list provided";
        case SCStreamErrorCode::NoDisplayList:
            return "No display list provided";
        case SCStreamErrorCode::NoCaptureSource:
            return "No capture source provided";
        case SCStreamErrorCode::RemovingStream:
            return "Failed to remove stream";
        case SCStreamErrorCode::UserStopped:
            return "User stopped the stream";
        case SCStreamErrorCode::FailedToStartAudioCapture:
            return "Failed to start audio capture";
        case SCStreamErrorCode::FailedToStopAudioCapture:
            return "Failed to stop audio capture";
        case SCStreamErrorCode::FailedToStartMicrophoneCapture:
            return "Failed to start microphone capture";
        case SCStreamErrorCode::SystemStoppedStream:
            return "System stopped the stream";
    }
    // Only reachable through a cast of an out-of-range value.
    return UNKNOWN_ERROR;
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
