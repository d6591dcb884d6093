// The platform's lifetime as a whole: its backend and its worker threads.
#include "capture/bridge/bridge.h"
#include "platform/model/backend.h"
#include "platform/runtime/runtime.h"

extern "C" {

void sc_platform_shutdown(void) {
    // The backend goes first, so that nothing posted while the workers drain can start a new
    // request on it.
    platform::install_backend(nullptr);
    platform::shutdown();
}

}  // extern "C"
