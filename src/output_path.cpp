#include "src/output_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace helper {

namespace {

// The null device discards whatever each writer gives it: sharing it mixes nothing.
bool is_null_device(const struct stat& info) noexcept {
    struct stat null_device {};
    return S_ISCHR(info.st_mode) && ::stat("/dev/null", &null_device) == 0 &&
           S_ISCHR(null_device.st_mode) && info.st_rdev == null_device.st_rdev;
}

}  // namespace

bool is_standard_output(const std::string& path) noexcept {
    struct stat named {
    }, standard{};
    // A path that does not exist yet, or no standard output at all, cannot be the same.
    if (::stat(path.c_str(), &named) != 0 || ::fstat(STDOUT_FILENO, &standard) != 0) return false;
    return named.st_dev == standard.st_dev && named.st_ino == standard.st_ino &&
           !is_null_device(named);
}

}  // namespace helper
