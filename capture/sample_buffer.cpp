#include "capture/sample_buffer.h"

namespace capture {

CMSampleBuffer CMSampleBuffer::retained() const noexcept {
    return CMSampleBuffer(handle_ ? cm_sample_buffer_retain(handle_.get()) : nullptr);
}

std::optional<AudioBufferList> CMSampleBuffer::audio_buffer_list() const {
    std::uint32_t num_buffers = 0;
    AudioBufferBridge* buffers_ptr = nullptr;
    std::size_t buffers_len = 0;
    cm_block_buffer* block_buffer = nullptr;
    cm_sample_buffer_get_audio_buffer_list(handle_.get(), &num_buffers, &buffers_ptr, &buffers_len,
                                           &block_buffer);
    // Take ownership first, so whatever came back is given back even when absent.
    AudioBufferList list(num_buffers, buffers_ptr, buffers_len, block_buffer);
    if (num_buffers == 0) return std::nullopt;
    return list;
}

std::span<const std::byte> AudioBuffer::data() const noexcept {
    if (descriptor_->data_ptr == nullptr || descriptor_->data_bytes_size == 0) return {};
    return {static_cast<const std::byte*>(descriptor_->data_ptr), descriptor_->data_bytes_size};
}

std::optional<AudioBuffer> AudioBufferList::get(std::size_t index) const noexcept {
    if (!buffers_ || index >= num_buffers_ || index >= buffers_len_) return std::nullopt;
    return AudioBuffer(buffers_.get()[index]);
}

}  // namespace capture
