#include "capture/sound_server_scope.h"

#include "capture/bridge/bridge.h"
#include "capture/bridge/sound_server_bridge.h"

namespace capture {

SoundServerScope::SoundServerScope() { sc_platform_use_sound_server(); }

SoundServerScope::~SoundServerScope() { sc_platform_shutdown(); }

}  // namespace capture
