// Serial dispatch queues a caller may hand to sc_stream_add_stream_output_with_queue.
#include <string>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "platform/model/dispatch_queue.h"

extern "C" {

sc_dispatch_queue* sc_dispatch_queue_create(const char* label) {
    auto queue =
        platform::DispatchQueue::create(label != nullptr ? std::string(label) : std::string());
    return bridge::handle_cast<sc_dispatch_queue>(queue.leak());
}

void sc_dispatch_queue_release(sc_dispatch_queue* queue) {
    platform::release(bridge::from_handle(queue));
}

}  // extern "C"
