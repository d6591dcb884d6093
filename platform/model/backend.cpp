#include "platform/model/backend.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string_view>
#include <utility>

namespace platform {
namespace {

std::mutex BACKEND_MUTEX;
std::shared_ptr<Backend> BACKEND;

}  // namespace

Ref<NSError> stream_error(std::int64_t code, const BackendError& failure) {
    // The helper's words, by the errno that stands for each condition.
    static constexpr std::pair<int, std::string_view> NAMED[] = {
        {-ECONNREFUSED, "Connection refused"},
        {-EPIPE, "Connection terminated"},
        {-ETIMEDOUT, "Timeout"},
        {-ENOENT, "No such entity"},
        {-EINVAL, "Invalid argument"},
    };
    for (const auto& [named, words] : NAMED) {
        if (failure.code != named) continue;
        // The backend's detail, after the library's text, stays.
        const std::size_t detail = std::min(failure.text.find(": "), failure.text.size());
        return NSError::make(SCStreamErrorDomain, code,
                             std::string(words) + failure.text.substr(detail));
    }
    return NSError::make(SCStreamErrorDomain, code, failure.text);
}

std::expected<void, BackendError> check_format(const CaptureParams& params, std::int64_t max_rate,
                                               std::int64_t max_channels, BackendError invalid) {
    if (params.sample_rate > 0 && params.sample_rate <= max_rate && params.channel_count > 0 &&
        params.channel_count <= max_channels) {
        return {};
    }
    invalid.text += ": " + std::to_string(params.sample_rate) + " Hz, " +
                    std::to_string(params.channel_count) + " channels";
    return std::unexpected(std::move(invalid));
}

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
