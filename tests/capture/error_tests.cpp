#include "capture/error.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using capture::SCError;
using capture::SCStreamErrorCode;

TEST(SCStreamErrorCodeText, EveryCodeHasItsText) {
    const std::vector<std::pair<int, std::string>> expected = {
        {-3801, "User declined screen recording"},
        {-3802, "Failed to start stream"},
        {-3803, "Missing entitlements"},
        {-3804, "Application connection invalid"},
        {-3805, "Application connection interrupted"},
        {-3806, "No matching application context"},
        {-3807, "Stream is already running"},
        {-3808, "Stream is not running"},
        {-3809, "Cannot update filter while streaming"},
        {-3810, "Cannot configure while streaming"},
        {-3811, "Internal error"},
        {-3812, "Invalid parameter"},
        {-3813, "No window list provided"},
        {-3814, "No display list provided"},
        {-3815, "No capture source provided"},
        {-3816, "Failed to remove stream"},
        {-3817, "User stopped the stream"},
        {-3818, "Failed to start audio capture"},
        {-3819, "Failed to stop audio capture"},
        {-3820, "Failed to start microphone capture"},
        {-3821, "System stopped the stream"},
    };
    for (const auto& [raw, text] : expected) {
        const auto code = capture::stream_error_code_from_raw(raw);
        ASSERT_TRUE(code.has_value()) << raw;
        EXPECT_EQ(static_cast<int>(*code), raw);
        EXPECT_EQ(capture::to_text(*code), text) << raw;
    }
    for (const int outside : {-3800, -3822, 0, 1, -1, -2147483647 - 1, 2147483647}) {
        EXPECT_FALSE(capture::stream_error_code_from_raw(outside).has_value()) << outside;
        EXPECT_EQ(capture::to_text(static_cast<SCStreamErrorCode>(outside)), "Unknown error");
    }
}

TEST(SCErrorText, EveryVariantDisplaysItsText) {
    const std::vector<std::pair<SCError, std::string>> cases = {
        {SCError::InvalidConfiguration{"m"}, "Invalid configuration: m"},
        {SCError::InvalidDimension{"width", 18446744073709551615ULL},
         "Invalid dimension: width must be greater than 0 (got 18446744073709551615)"},
        {SCError::InvalidPixelFormat{"m"}, "Invalid pixel format: m"},
        {SCError::NoShareableContent{"m"}, "No shareable content available: m"},
        {SCError::DisplayNotFound{"m"}, "Display not found: m"},
        {SCError::WindowNotFound{"m"}, "Window not found: m"},
        {SCError::ApplicationNotFound{"m"}, "Application not found: m"},
        {SCError::StreamError{"m"}, "Stream error: m"},
        {SCError::CaptureStartFailed{"m"}, "Failed to start capture: m"},
        {SCError::CaptureStopFailed{"m"}, "Failed to stop capture: m"},
        {SCError::BufferLockFailed{"m"}, "Failed to lock pixel buffer: m"},
        {SCError::BufferUnlockFailed{"m"}, "Failed to unlock pixel buffer: m"},
        {SCError::InvalidBuffer{"m"}, "Invalid buffer: m"},
        {SCError::ScreenshotError{"m"}, "Screenshot capture failed: m"},
        {SCError::PermissionDenied{"m"},
         "Permission denied: m. Check System Preferences \xE2\x86\x92 Security & Privacy "
         "\xE2\x86\x92 "
         "Screen Recording"},
        {SCError::FeatureNotAvailable{"Audio capture", "13.0"},
         "Feature not available: Audio capture requires macOS 13.0+"},
        {SCError::FfiError{"m"}, "FFI error: m"},
        {SCError::NullPointer{"m"}, "Null pointer: m"},
        {SCError::Timeout{"m"}, "Operation timed out: m"},
        {SCError::InternalError{"m"}, "Internal error: m"},
        {SCError::OsError{5, "x"}, "OS error 5: x"},
        {SCError::OsError{-2147483647 - 1, "y"}, "OS error -2147483648: y"},
        {SCError::SCStreamError{SCStreamErrorCode::UserStopped, std::string("m")},
         "SCStream error (User stopped the stream): m"},
        {SCError::SCStreamError{SCStreamErrorCode::UserStopped, std::nullopt},
         "SCStream error: User stopped the stream"},
        {SCError::SCStreamError{SCStreamErrorCode::SystemStoppedStream, std::string("")},
         "SCStream error (System stopped the stream): "},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
}

TEST(ErrorFromCstr, CopiesValidTextAndRejectsNullOrMalformed) {
    EXPECT_EQ(capture::error_from_cstr(nullptr), "Unknown error");
    EXPECT_EQ(capture::error_from_cstr(""), "");
    EXPECT_EQ(capture::error_from_cstr("plain"), "plain");
    const char* multibyte = "caf\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x8E\xA7";
    EXPECT_EQ(capture::error_from_cstr(multibyte), multibyte);
    EXPECT_EQ(capture::error_from_cstr("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");  // U+10FFFF

    for (const char* malformed : {
             "\x80",              // lone continuation byte
             "ok\xC3",            // cut off after the lead byte
             "\xC0\x80",          // overlong NUL
             "\xE0\x80\xAF",      // overlong slash
             "\xED\xA0\x80",      // surrogate
             "\xF4\x90\x80\x80",  // above U+10FFFF
             "\xF8\x88\x80\x80\x80", "\xFF",
             "abc\xE2\x86",  // cut off inside a three-byte form
         }) {
        EXPECT_EQ(capture::error_from_cstr(malformed), "Unknown error") << malformed;
    }
}

TEST(ErrorFromCstr, LongTextIsCopiedWhole) {
    std::string long_text(1 << 20, 'a');
    for (std::size_t i = 0; i < long_text.size(); i += 1000) long_text[i] = 'b';
    long_text += "\xE2\x86\x92";
    EXPECT_EQ(capture::error_from_cstr(long_text.c_str()), long_text);
}

}  // namespace
