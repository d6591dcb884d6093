#include "opus_ogg/io_error.h"

#include <cstring>
#include <utility>

namespace opus_ogg {

namespace {

constexpr const char* WRITE_ZERO_TEXT = "failed to write the buffered data";

std::string system_message(int code) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling buffer.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    return text;
}

}  // namespace

IoError::IoError(IoErrorKind kind, int code, std::string message,
                 std::shared_ptr<const IoError> source)
    : kind_(kind), code_(code), message_(std::move(message)), source_(std::move(source)) {}

IoError IoError::from_os(int code) { return IoError(IoErrorKind::Os, code, {}, nullptr); }

IoError IoError::write_zero() { return IoError(IoErrorKind::WriteZero, 0, {}, nullptr); }

IoError IoError::other(std::string message) {
    return IoError(IoErrorKind::Other, 0, std::move(message), nullptr);
}

IoError IoError::wrap(IoError inner) {
    return IoError(IoErrorKind::Other, 0, {}, std::make_shared<const IoError>(std::move(inner)));
}

std::optional<int> IoError::os_code() const {
    if (kind_ == IoErrorKind::Os) return code_;
    return std::nullopt;
}

std::string IoError::to_string() const {
    switch (kind_) {
        case IoErrorKind::Os:
            return system_message(code_) + " (os error " + std::to_string(code_) + ")";
        case IoErrorKind::WriteZero:
            return WRITE_ZERO_TEXT;
        case IoErrorKind::Other:
            break;
    }
    return source_ ? source_->to_string() : message_;
}

}  // namespace opus_ogg
