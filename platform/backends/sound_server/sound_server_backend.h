#pragma once

// The desktop's sound server, whichever it is: PipeWire through its own protocol where a
// PipeWire daemon manages the audio, PulseAudio's protocol otherwise (a PulseAudio desktop,
// or one that runs PipeWire only for screen sharing).

#include <memory>

#include "platform/model/backend.h"

namespace platform {

// Each content request looks again at which server manages the audio; a capture goes to the
// one the last request found.
std::shared_ptr<Backend> make_sound_server_backend();

// Installs it process-wide (the helper's main does this).
void install_sound_server_backend();

}  // namespace platform
