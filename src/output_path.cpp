#include "src/output_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace helper {

namespace {

struct StandardStream {
    int fd;
    const char* reason;
};

// Standard output first: a path that is both (2>&1) is refused for the status line's sake.
constexpr StandardStream STANDARD_STREAMS[] = {{STDOUT_FILENO, STANDARD_OUTPUT_REASON},
                                               {STDERR_FILENO, STANDARD_ERROR_REASON}};

// The null device discards whatever each writer gives it: sharing it mixes nothing.
bool is_null_device(const struct stat& info) noexcept {
    struct stat null_device {};
    return S_ISCHR(info.st_mode) && ::stat("/dev/null", &null_device) == 0 &&
           S_ISCHR(null_device.st_mode) && info.st_rdev == null_device.st_rdev;
}

}  // namespace

std::optional<std::string_view> standard_stream_conflict(const std::string& path) noexcept {
    struct stat named {};
    // A path that does not exist yet cannot be either stream.
    if (::stat(path.c_str(), &named) != 0 || is_null_device(named)) return std::nullopt;
    for (const auto& [fd, reason] : STANDARD_STREAMS) {
        struct stat stream {};
        // A closed stream is nothing to share.
        if (::fstat(fd, &stream) == 0 && named.st_dev == stream.st_dev &&
            named.st_ino == stream.st_ino) {
            return reason;
        }
    }
    return std::nullopt;
}

}  // namespace helper
