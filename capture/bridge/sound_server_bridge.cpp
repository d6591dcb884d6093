#include "capture/bridge/sound_server_bridge.h"

#include "platform/pulse/pulse_backend.h"

extern "C" {

void sc_platform_use_sound_server(void) { platform::install_pulse_backend(); }

}  // extern "C"
