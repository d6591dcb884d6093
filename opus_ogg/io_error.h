#pragma once

#include <string>
#include <utility>

namespace opus_ogg {

// The one error type of the writer and its file: its display text.
class IoError {
public:
    // "<system message> (os error N)".
    static IoError from_os(int code);
    // The file took no bytes while the buffer still held some.
    static IoError write_zero();
    static IoError other(std::string message) { return IoError(std::move(message)); }

    const std::string& to_string() const { return text_; }

private:
    explicit IoError(std::string text) : text_(std::move(text)) {}

    std::string text_;
};

}  // namespace opus_ogg
