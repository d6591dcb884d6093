#include "platform/pulse/frame_assembler.h"

#include <algorithm>
#include <cstring>

namespace platform::pulse {

FrameAssembler::FrameAssembler(std::uint32_t channels, std::size_t max_frames)
    : channels_(std::max<std::uint32_t>(1, channels)),
      frame_bytes_(sizeof(float) * channels_),
      max_frames_(std::max<std::size_t>(1, max_frames)) {}

void FrameAssembler::push(const void* data, std::size_t bytes, const Sink& sink) {
    const auto* in = static_cast<const std::byte*>(data);
    std::size_t offset = 0;  // bytes of this chunk used so far
    auto take = [&](std::byte* out, std::size_t count) {
        if (count == 0) return;
        if (in != nullptr) {
            std::memcpy(out, in + offset, count);
        } else {
            std::memset(out, 0, count);
        }
        offset += count;
    };

    std::size_t whole = (partial_.size() + bytes) / frame_bytes_;
    while (whole > 0) {
        const std::size_t frames = std::min(max_frames_, whole);
        scratch_.resize(frames * channels_);
        auto* out = reinterpret_cast<std::byte*>(scratch_.data());
        std::size_t need = frames * frame_bytes_;
        if (!partial_.empty()) {
            std::memcpy(out, partial_.data(), partial_.size());
            out += partial_.size();
            need -= partial_.size();
            partial_.clear();
        }
        take(out, need);
        whole -= frames;
        const std::uint64_t first = frames_handed_;
        frames_handed_ += frames;
        sink(scratch_, first);
    }

    const std::size_t held = partial_.size();
    partial_.resize(held + (bytes - offset));
    take(partial_.data() + held, partial_.size() - held);
}

}  // namespace platform::pulse
