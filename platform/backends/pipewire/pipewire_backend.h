#pragma once

// The PipeWire backend of the capture platform: every audio sink is one display (the default
// sink first), and an audio stream on a display records that sink's monitor, through
// PipeWire's own protocol.

#include <memory>

#include "platform/model/backend.h"

namespace platform {

class PipewireBackend : public Backend {
public:
    // Whether a PipeWire daemon answers and manages the audio (it has audio sinks). False, at
    // once, where no daemon's socket is found or libpipewire is missing. Talks to the server:
    // not on a caller's thread. The connection it makes serves the next content request and
    // the next capture too, so that a recording connects once.
    virtual bool manages_audio() = 0;
};

std::shared_ptr<PipewireBackend> make_pipewire_backend();

}  // namespace platform
