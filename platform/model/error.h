// NSError: the platform's error object (domain, code, localized description).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/model/object.h"
#include "platform/model/ref.h"

namespace platform {

// Domain of the errors a stream reports; codes are the SCStreamErrorCode values below.
inline constexpr std::string_view SCStreamErrorDomain = "SCStreamErrorDomain";

enum SCStreamErrorCode : std::int64_t {
    SCStreamErrorFailedToStart = -3802,
    SCStreamErrorAttemptToStartStreamState = -3807,
    SCStreamErrorAttemptToStopStreamState = -3808,
    SCStreamErrorInvalidParameter = -3812,
    SCStreamErrorNoDisplayList = -3814,
    SCStreamErrorNoCaptureSource = -3815,
    SCStreamErrorFailedToStopAudioCapture = -3819,
    SCStreamErrorSystemStoppedStream = -3821,
};

class NSError final : public Object {
public:
    static Ref<NSError> make(std::string_view domain, std::int64_t code,
                             std::string localizedDescription);

    const std::string& domain() const noexcept { return domain_; }
    std::int64_t code() const noexcept { return code_; }
    const std::string& localizedDescription() const noexcept { return description_; }

private:
    NSError(std::string_view domain, std::int64_t code, std::string description);
    ~NSError() override = default;

    std::string domain_;
    std::int64_t code_;
    std::string description_;
};

}  // namespace platform
