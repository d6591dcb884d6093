// The receiver of a stream's own stop notification.
#pragma once

#include <optional>
#include <string>

#include "capture/error.h"

namespace capture {

// Called on a platform thread, possibly concurrently, when the stream stops on its own.
// Without a delegate the stop is written to standard error instead.
class SCStreamDelegateTrait {
public:
    virtual ~SCStreamDelegateTrait() = default;
    virtual void did_stop_with_error(const SCError& /*error*/) const {}
    virtual void stream_did_stop(const std::optional<std::string>& /*message*/) const {}
};

}  // namespace capture
