#include "src/capture_control.h"

namespace helper {

void CaptureControl::prepare() {}

void CaptureControl::start([[maybe_unused]] std::shared_ptr<WriterSlot> slot) {}

void CaptureControl::stop() {}

void CaptureControl::release(std::shared_ptr<WriterSlot> run_reference) {
    // The stream goes first, once there is one.
    run_reference.reset();
    // Configuration, filter, displays and content follow.
}

}  // namespace helper
