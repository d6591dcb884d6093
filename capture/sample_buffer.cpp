#include "capture/sample_buffer.h"

#include <cstdlib>
#include <utility>

namespace capture {

CMSampleBuffer::CMSampleBuffer(CMSampleBuffer&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

CMSampleBuffer& CMSampleBuffer::operator=(CMSampleBuffer&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) cm_sample_buffer_release(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

CMSampleBuffer::~CMSampleBuffer() {
    if (handle_ != nullptr) cm_sample_buffer_release(handle_);
}

CMSampleBuffer CMSampleBuffer::retained() const noexcept {
    return CMSampleBuffer(handle_ != nullptr ? cm_sample_buffer_retain(handle_) : nullptr);
}

std::optional<AudioBufferList> CMSampleBuffer::audio_buffer_list() const {
    std::uint32_t num_buffers = 0;
    AudioBufferBridge* buffers_ptr = nullptr;
    std::size_t buffers_len = 0;
    cm_block_buffer* block_buffer = nullptr;
    cm_sample_buffer_get_audio_buffer_list(handle_, &num_buffers, &buffers_ptr, &buffers_len,
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

AudioBufferList::AudioBufferList(AudioBufferList&& other) noexcept
    : num_buffers_(std::exchange(other.num_buffers_, 0)),
      buffers_ptr_(std::exchange(other.buffers_ptr_, nullptr)),
      buffers_len_(std::exchange(other.buffers_len_, 0)),
      block_buffer_(std::exchange(other.block_buffer_, nullptr)) {}

AudioBufferList& AudioBufferList::operator=(AudioBufferList&& other) noexcept {
    if (this != &other) {
        reset();
        num_buffers_ = std::exchange(other.num_buffers_, 0);
        buffers_ptr_ = std::exchange(other.buffers_ptr_, nullptr);
        buffers_len_ = std::exchange(other.buffers_len_, 0);
        block_buffer_ = std::exchange(other.block_buffer_, nullptr);
    }
    return *this;
}

AudioBufferList::~AudioBufferList() { reset(); }

void AudioBufferList::reset() noexcept {
    // The descriptors come from the bridge's C allocation.
    if (buffers_ptr_ != nullptr) std::free(std::exchange(buffers_ptr_, nullptr));
    if (block_buffer_ != nullptr) cm_block_buffer_release(std::exchange(block_buffer_, nullptr));
    num_buffers_ = 0;
    buffers_len_ = 0;
}

std::optional<AudioBuffer> AudioBufferList::get(std::size_t index) const noexcept {
    if (buffers_ptr_ == nullptr || index >= num_buffers_ || index >= buffers_len_)
        return std::nullopt;
    return AudioBuffer(buffers_ptr_[index]);
}

}  // namespace capture
