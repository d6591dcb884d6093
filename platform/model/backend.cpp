#include "platform/model/backend.h"

#include <mutex>
#include <utility>

namespace platform {
namespace {

std::mutex BACKEND_MUTEX;
std::shared_ptr<Backend> BACKEND;

}  // namespace

void install_backend(std::shared_ptr<Backend> backend) {
    std::shared_ptr<Backend> previous;
    {
        std::lock_guard lock(BACKEND_MUTEX);
        previous = std::exchange(BACKEND, std::move(backend));
    }
    // previous goes here, outside the lock: its destructor may take a while.
}

std::shared_ptr<Backend> installed_backend() {
    std::lock_guard lock(BACKEND_MUTEX);
    return BACKEND;
}

}  // namespace platform
