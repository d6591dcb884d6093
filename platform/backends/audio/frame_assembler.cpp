#include "platform/backends/audio/frame_assembler.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

namespace platform::audio {

FrameAssembler::FrameAssembler(std::uint32_t channels, std::size_t fragment_frames, Room room)
    : channels_(std::max<std::uint32_t>(1, channels)),
      frame_bytes_(sizeof(float) * channels_),
      fragment_bytes_(std::max<std::size_t>(1, fragment_frames) * frame_bytes_),
      take_room_(std::move(room)) {}

std::byte* FrameAssembler::room() {
    if (room_ == nullptr) {
        const std::size_t samples = fragment_bytes_ / sizeof(float);
        const std::span<float> given = take_room_ ? take_room_(samples) : std::span<float>();
        if (given.size() >= samples) {
            room_ = given.data();
        } else {
            own_.resize(samples);
            room_ = own_.data();
        }
    }
    return reinterpret_cast<std::byte*>(room_);
}

void FrameAssembler::push(const void* data, std::size_t bytes, const Sink& sink) {
    assert(bytes % frame_bytes_ == 0);
    const auto* in = static_cast<const std::byte*>(data);
    std::size_t offset = 0;  // bytes of this chunk used so far
    while (offset < bytes) {
        std::byte* const at = room();
        const std::size_t count = std::min(bytes - offset, fragment_bytes_ - gathered_bytes_);
        if (in != nullptr) {
            std::memcpy(at + gathered_bytes_, in + offset, count);
        } else {
            std::memset(at + gathered_bytes_, 0, count);
        }
        offset += count;
        gathered_bytes_ += count;
        if (gathered_bytes_ == fragment_bytes_) {
            gathered_bytes_ = 0;
            hand_over(fragment_bytes_ / frame_bytes_, sink);
        }
    }
}

void FrameAssembler::flush(const Sink& sink) {
    if (gathered_bytes_ == 0) return;
    hand_over(std::exchange(gathered_bytes_, 0) / frame_bytes_, sink);
}

void FrameAssembler::hand_over(std::size_t frames, const Sink& sink) {
    const std::uint64_t first = frames_handed_;
    frames_handed_ += frames;
    // The room goes with the fragment; the next one takes its own.
    float* const fragment = std::exchange(room_, nullptr);
    sink(std::span<const float>(fragment, frames * channels_), first);
}

}  // namespace platform::audio
