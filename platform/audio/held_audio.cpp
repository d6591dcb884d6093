#include "platform/audio/held_audio.h"

#include <algorithm>
#include <cstring>

namespace platform::audio {

void HeldAudio::take(const void* data, std::size_t bytes, bool hold, FrameAssembler& assembler,
                     const FrameAssembler::Sink& sink) {
    if (!hold) {
        assembler.push(data, bytes, sink);
        return;
    }
    const std::size_t at = held_.size();
    held_.resize(at + bytes / sizeof(float));
    if (data != nullptr) {
        std::memcpy(held_.data() + at, data, bytes / sizeof(float) * sizeof(float));
    } else {
        std::fill(held_.begin() + static_cast<std::ptrdiff_t>(at), held_.end(), 0.0f);
    }
}

void HeldAudio::release(std::uint64_t silence, std::uint64_t overlap, FrameAssembler& assembler,
                        const FrameAssembler::Sink& sink) {
    const std::size_t dropped = std::min<std::size_t>(overlap * channels_, held_.size());
    if (silence > 0) assembler.push(nullptr, silence * sizeof(float) * channels_, sink);
    if (dropped < held_.size()) {
        assembler.push(held_.data() + dropped, (held_.size() - dropped) * sizeof(float), sink);
    }
    if (held_.empty()) return;
    // Holding is rare (after a gap): its memory goes back rather than staying for the run.
    held_.clear();
    held_.shrink_to_fit();
}

}  // namespace platform::audio
