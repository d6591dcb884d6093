// The binding's sample-buffer value and the audio inside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>

#include "capture/bridge/bridge.h"
#include "capture/owned_handle.h"

namespace capture {

class AudioBufferList;

// One platform sample buffer; owns one reference and releases it exactly once.
class CMSampleBuffer {
public:
    CMSampleBuffer() noexcept = default;
    // Takes over the reference `adopted` carries (null allowed).
    explicit CMSampleBuffer(cm_sample_buffer* adopted) noexcept : handle_(adopted) {}
    // A value of its own on the same sample buffer (one more reference).
    CMSampleBuffer retained() const noexcept;

    cm_sample_buffer* as_ptr() const noexcept { return handle_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }

    // The audio of this sample buffer, or nothing when it has no readable audio. The list
    // keeps its bytes alive on its own and may outlive this value.
    std::optional<AudioBufferList> audio_buffer_list() const;

private:
    OwnedHandle<cm_sample_buffer, cm_sample_buffer_release> handle_;
};

// One buffer of an AudioBufferList, borrowed from it.
class AudioBuffer {
public:
    explicit AudioBuffer(const AudioBufferBridge& descriptor) noexcept : descriptor_(&descriptor) {}

    std::uint32_t number_channels() const noexcept { return descriptor_->number_channels; }
    std::uint32_t data_bytes_size() const noexcept { return descriptor_->data_bytes_size; }
    // The buffer's bytes; empty when the data pointer is null or the size is 0.
    std::span<const std::byte> data() const noexcept;

private:
    const AudioBufferBridge* descriptor_;
};

// The audio of one sample buffer: malloc'd descriptors plus the block buffer that holds
// the bytes. Move-only; destruction frees the descriptors and releases the block buffer.
// A moved-from list has no buffers to give.
class AudioBufferList {
public:
    AudioBufferList(std::uint32_t num_buffers, AudioBufferBridge* buffers_ptr,
                    std::size_t buffers_len, cm_block_buffer* block_buffer) noexcept
        : num_buffers_(num_buffers),
          buffers_(buffers_ptr),
          buffers_len_(buffers_len),
          block_buffer_(block_buffer) {}

    std::uint32_t num_buffers() const noexcept { return num_buffers_; }
    std::size_t buffers_len() const noexcept { return buffers_len_; }
    const AudioBufferBridge* buffers_ptr() const noexcept { return buffers_.get(); }
    cm_block_buffer* block_buffer() const noexcept { return block_buffer_.get(); }

    // The buffer at index; nothing when index is not below num_buffers() (or the
    // descriptor array is missing).
    std::optional<AudioBuffer> get(std::size_t index) const noexcept;

private:
    // The descriptors come from the bridge's C allocation.
    struct Free {
        void operator()(AudioBufferBridge* buffers) const noexcept { std::free(buffers); }
    };

    std::uint32_t num_buffers_;
    std::unique_ptr<AudioBufferBridge, Free> buffers_;
    std::size_t buffers_len_;
    OwnedHandle<cm_block_buffer, cm_block_buffer_release> block_buffer_;
};

}  // namespace capture
