#include "platform/audio/frame_assembler.h"

#include <algorithm>
#include <cstring>

namespace platform::pulse {

FrameAssembler::FrameAssembler(std::uint32_t channels, std::size_t fragment_frames)
    : channels_(std::max<std::uint32_t>(1, channels)),
      frame_bytes_(sizeof(float) * channels_),
      fragment_bytes_(std::max<std::size_t>(1, fragment_frames) * frame_bytes_),
      gathered_(fragment_bytes_ / sizeof(float)) {}

void FrameAssembler::push(const void* data, std::size_t bytes, const Sink& sink) {
    const auto* in = static_cast<const std::byte*>(data);
    auto* room = reinterpret_cast<std::byte*>(gathered_.data());
    std::size_t offset = 0;  // bytes of this chunk used so far
    while (offset < bytes) {
        const std::size_t count = std::min(bytes - offset, fragment_bytes_ - gathered_bytes_);
        if (in != nullptr) {
            std::memcpy(room + gathered_bytes_, in + offset, count);
        } else {
            std::memset(room + gathered_bytes_, 0, count);
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
    const std::size_t frames = gathered_bytes_ / frame_bytes_;
    if (frames == 0) return;
    const std::size_t whole_bytes = frames * frame_bytes_;
    const std::size_t rest = gathered_bytes_ - whole_bytes;
    gathered_bytes_ = rest;
    hand_over(frames, sink);
    auto* room = reinterpret_cast<std::byte*>(gathered_.data());
    std::memmove(room, room + whole_bytes, rest);
}

void FrameAssembler::hand_over(std::size_t frames, const Sink& sink) {
    const std::uint64_t first = frames_handed_;
    frames_handed_ += frames;
    sink(std::span<const float>(gathered_.data(), frames * channels_), first);
}

}  // namespace platform::pulse
