#pragma once

// The PipeWire backend of the capture platform: every audio sink is one display (the default
// sink first), and an audio stream on a display records that sink's monitor, through
// PipeWire's own protocol.

#include <memory>

#include "platform/backend.h"

namespace platform {

std::shared_ptr<Backend> make_pipewire_backend();

// Whether a PipeWire daemon answers and manages the audio (it has audio sinks). False, at
// once, where libpipewire is missing. Talks to the server: not on a caller's thread.
bool pipewire_manages_audio();

}  // namespace platform
