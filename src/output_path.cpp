#include "src/output_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace helper {

bool is_standard_output(const std::string& path) noexcept {
    struct stat named {
    }, standard{};
    // A path that does not exist yet, or no standard output at all, cannot be the same.
    if (::stat(path.c_str(), &named) != 0 || ::fstat(STDOUT_FILENO, &standard) != 0) return false;
    return named.st_dev == standard.st_dev && named.st_ino == standard.st_ino;
}

}  // namespace helper
