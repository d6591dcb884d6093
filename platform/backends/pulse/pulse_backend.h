#pragma once

// The sound-server backend of the capture platform: every sink is one display (the
// default sink first), and an audio stream on a display records that sink's monitor.

#include <memory>

#include "platform/model/backend.h"

namespace platform {

std::shared_ptr<Backend> make_pulse_backend();

}  // namespace platform
