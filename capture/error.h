// The capture binding's error value and the platform's stream error codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace capture {

// The platform's stream error codes, -3821 to -3801.
enum class SCStreamErrorCode : std::int32_t {
    UserDeclined = -3801,
    FailedToStart = -3802,
    MissingEntitlements = -3803,
    FailedApplicationConnectionInvalid = -3804,
    FailedApplicationConnectionInterrupted = -3805,
    FailedNoMatchingApplicationContext = -3806,
    AttemptToStartStreamState = -3807,
    AttemptToStopStreamState = -3808,
    AttemptToUpdateFilterState = -3809,
    AttemptToConfigStreamState = -3810,
    InternalError = -3811,
    InvalidParameter = -3812,
    NoWindowList = -3813,
    NoDisplayList = -3814,
    NoCaptureSource = -3815,
    RemovingStream = -3816,
    UserStopped = -3817,
    FailedToStartAudioCapture = -3818,
    FailedToStopAudioCapture = -3819,
    FailedToStartMicrophoneCapture = -3820,
    SystemStoppedStream = -3821,
};

// The code for a raw value, or nothing when the value is outside -3821..-3801.
std::optional<SCStreamErrorCode> stream_error_code_from_raw(std::int32_t raw);

// The code's display text, e.g. "User stopped the stream".
std::string_view to_text(SCStreamErrorCode code);

// A tagged error value; each variant has one display text (`to_string`).
class SCError {
public:
    struct InvalidConfiguration {
        std::string message;
    };
    struct InvalidDimension {
        std::string field;
        std::uint64_t value;
    };
    struct InvalidPixelFormat {
        std::string message;
    };
    struct NoShareableContent {
        std::string message;
    };
    struct DisplayNotFound {
        std::string message;
    };
    struct WindowNotFound {
        std::string message;
    };
    struct ApplicationNotFound {
        std::string message;
    };
    struct StreamError {
        std::string message;
    };
    struct CaptureStartFailed {
        std::string message;
    };
    struct CaptureStopFailed {
        std::string message;
    };
    struct BufferLockFailed {
        std::string message;
    };
    struct BufferUnlockFailed {
        std::string message;
    };
    struct InvalidBuffer {
        std::string message;
    };
    struct ScreenshotError {
        std::string message;
    };
    struct PermissionDenied {
        std::string message;
    };
    struct FeatureNotAvailable {
        std::string feature;
        std::string required_version;
    };
    struct FfiError {
        std::string message;
    };
    struct NullPointer {
        std::string message;
    };
    struct Timeout {
        std::string message;
    };
    struct InternalError {
        std::string message;
    };
    struct OsError {
        std::int32_t code;
        std::string message;
    };
    struct SCStreamError {
        SCStreamErrorCode code;
        std::optional<std::string> message;
    };

    using Variant =
        std::variant<InvalidConfiguration, InvalidDimension, InvalidPixelFormat, NoShareableContent,
                     DisplayNotFound, WindowNotFound, ApplicationNotFound, StreamError,
                     CaptureStartFailed, CaptureStopFailed, BufferLockFailed, BufferUnlockFailed,
                     InvalidBuffer, ScreenshotError, PermissionDenied, FeatureNotAvailable,
                     FfiError, NullPointer, Timeout, InternalError, OsError, SCStreamError>;

    template <class Kind>
    requires std::is_constructible_v<Variant, Kind&&> SCError(Kind&& kind)
        : value_(std::forward<Kind>(kind)) {}  // NOLINT: implicit by design

    const Variant& value() const { return value_; }

    template <class Kind>
    bool is() const {
        return std::holds_alternative<Kind>(value_);
    }
    template <class Kind>
    const Kind* get_if() const {
        return std::get_if<Kind>(&value_);
    }

    // The display text, e.g. "Failed to start capture: <message>".
    std::string to_string() const;

private:
    Variant value_;
};

// Copies a text that crossed the C boundary. A null pointer or a text that is not valid
// UTF-8 gives "Unknown error"; otherwise the whole text up to its NUL, without a limit.
std::string error_from_cstr(const char* text);

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, at most
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace capture
