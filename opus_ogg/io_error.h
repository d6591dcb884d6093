#pragma once

#include <memory>
#include <optional>
#include <string>

namespace opus_ogg {

enum class IoErrorKind {
    Os,         // a system call failed; carries errno
    WriteZero,  // the file took no bytes while the buffer still held some
    Other,      // a message of ours, or another error passed up with context
};

// The one error type of the writer and its file. Copyable; a wrapped error is
// shared rather than deep-copied because it never changes after creation.
class IoError {
public:
    static IoError from_os(int code);
    static IoError write_zero();
    static IoError other(std::string message);
    static IoError wrap(IoError inner);

    IoErrorKind kind() const { return kind_; }
    // errno of an operating-system error; empty for the other kinds.
    std::optional<int> os_code() const;
    // The error this one wraps, or null.
    const IoError* source() const { return source_.get(); }

    // The display text: "<system message> (os error N)", the file writer's fixed
    // text, the message, or the wrapped error's own text.
    std::string to_string() const;

private:
    IoError(IoErrorKind kind, int code, std::string message, std::shared_ptr<const IoError> source);

    IoErrorKind kind_;
    int code_;
    std::string message_;
    std::shared_ptr<const IoError> source_;
};

}  // namespace opus_ogg
