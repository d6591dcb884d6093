// A serial dispatch queue a caller may ask a stream to deliver one output type on.
#pragma once

#include <string>

#include "capture/bridge/bridge.h"
#include "capture/owned_handle.h"

namespace capture {

class DispatchQueue {
public:
    explicit DispatchQueue(const std::string& label)
        : handle_(sc_dispatch_queue_create(label.c_str())) {}
    sc_dispatch_queue* raw() const { return handle_.get(); }

private:
    OwnedHandle<sc_dispatch_queue, sc_dispatch_queue_release> handle_;
};

}  // namespace capture
