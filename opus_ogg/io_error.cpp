#include "opus_ogg/io_error.h"

#include <cstring>

namespace opus_ogg {

IoError IoError::from_os(int code) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling buffer.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    return IoError(std::string(text) + " (os error " + std::to_string(code) + ")");
}

IoError IoError::write_zero() { return IoError("failed to write the buffered data"); }

}  // namespace opus_ogg
