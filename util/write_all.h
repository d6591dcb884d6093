#pragma once

// Shared here because the driver's status line, the binding's diagnostic lines and the
// writer's file each write to a descriptor, and none of those layers may depend on another.

#include <cerrno>
#include <cstddef>

#include <unistd.h>

namespace util {

struct Written {
    std::size_t bytes = 0;  // how much the descriptor took
    int error = 0;          // errno of the write that failed; 0 when none did
};

// Writes `size` bytes with write(2), going on after partial writes and EINTR, until all is
// written, a write fails (`error` says why: EAGAIN on a full non-blocking descriptor), or
// a write takes nothing (`error` 0, `bytes` short). Async-signal-safe.
inline Written write_all(int fd, const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const char*>(data);
    Written written;
    while (written.bytes < size) {
        const ssize_t n = ::write(fd, bytes + written.bytes, size - written.bytes);
        if (n > 0) {
            written.bytes += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            written.error = n < 0 ? errno : 0;
            break;
        }
    }
    return written;
}

}  // namespace util
