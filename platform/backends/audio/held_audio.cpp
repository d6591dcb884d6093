#include "platform/backends/audio/held_audio.h"

#include <algorithm>

namespace platform::audio {

void HeldAudio::take(const void* data, std::size_t bytes, bool hold, FrameAssembler& assembler,
                     const FrameAssembler::Sink& sink) {
    if (!hold) {
        assembler.push(data, bytes, sink);
        return;
    }
    const auto* bytes_in = static_cast<const std::byte*>(data);
    if (bytes_in != nullptr) {
        held_.insert(held_.end(), bytes_in, bytes_in + bytes);
    } else {
        held_.resize(held_.size() + bytes, std::byte{0});
    }
}

void HeldAudio::release(std::uint64_t silence, std::uint64_t overlap, FrameAssembler& assembler,
                        const FrameAssembler::Sink& sink) {
    const std::size_t frame_bytes = sizeof(float) * channels_;
    const std::size_t dropped = std::min<std::size_t>(overlap * frame_bytes, held_.size());
    if (silence > 0) assembler.push(nullptr, silence * frame_bytes, sink);
    if (dropped < held_.size())
        assembler.push(held_.data() + dropped, held_.size() - dropped, sink);
    if (held_.empty()) return;
    // Holding is rare (after a gap): its memory goes back rather than staying for the run.
    held_.clear();
    held_.shrink_to_fit();
}

}  // namespace platform::audio
