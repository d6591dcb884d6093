#include "capture/bridge/sound_server_bridge.h"

#include "platform/backends/sound_server/sound_server_backend.h"

extern "C" {

void sc_platform_use_sound_server(void) { platform::install_sound_server_backend(); }

}  // extern "C"
