// CMSampleBuffer: one delivery of captured media, and access to its audio as the
// platform's audio buffer list.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/model/block_buffer.h"
#include "platform/model/object.h"
#include "platform/model/ref.h"

namespace platform {

using OSStatus = std::int32_t;
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kCMSampleBufferError_RequiredParameterMissing = -12731;
inline constexpr OSStatus kCMSampleBufferError_ArrayTooSmall = -12737;
inline constexpr OSStatus kCMSampleBufferError_InvalidMediaFormat = -12743;

// One buffer of the platform's audio buffer list.
struct AudioBuffer {
    std::uint32_t number_channels;  // interleaved channels in this buffer
    std::uint32_t data_byte_size;
    void* data;
};

// The platform's audio buffer list: a count, followed in memory by that many AudioBuffer
// records. Only ever lives in storage of size_for(count) bytes that its user provides.
struct AudioBufferList {
    std::uint32_t number_buffers;

    // Offset of the first record, as for a count followed by an array of records.
    static constexpr std::size_t header_size = alignof(AudioBuffer) > sizeof(std::uint32_t)
                                                   ? alignof(AudioBuffer)
                                                   : sizeof(std::uint32_t);
    static constexpr std::size_t size_for(std::size_t buffers) noexcept {
        return header_size + buffers * sizeof(AudioBuffer);
    }
    AudioBuffer* buffers() noexcept {
        return reinterpret_cast<AudioBuffer*>(reinterpret_cast<std::byte*>(this) + header_size);
    }
    const AudioBuffer* buffers() const noexcept {
        return reinterpret_cast<const AudioBuffer*>(reinterpret_cast<const std::byte*>(this) +
                                                    header_size);
    }
};

// How one audio buffer of a sample buffer lies in its block buffer. A missing offset, or one
// past the block's end, gives a null data pointer. Sizes are reported as given, even past
// the block's end, so tests can build every layout a reader must survive.
struct AudioBufferLayout {
    std::uint32_t number_channels = 0;
    std::uint32_t data_byte_size = 0;
    std::optional<std::size_t> offset = 0;
};

class CMSampleBuffer final : public Object {
public:
    // Audio described by layout over block (which may be null: then no block buffer comes
    // back from the fill, as a broken producer might do).
    static Ref<CMSampleBuffer> createAudio(CMBlockBuffer* block,
                                           std::vector<AudioBufferLayout> layout,
                                           std::int64_t sampleRate, std::int64_t numSamples);
    // One buffer of interleaved 32-bit float frames: the first `bytes` bytes of block, which
    // is shared, not copied.
    static Ref<CMSampleBuffer> createInterleavedFloat(CMBlockBuffer* block, std::size_t bytes,
                                                      std::uint32_t channels,
                                                      std::int64_t sampleRate);
    // A sample buffer that carries no audio at all.
    static Ref<CMSampleBuffer> createWithoutAudio();

    bool hasAudio() const noexcept { return has_audio_; }
    std::int64_t sampleRate() const noexcept { return sample_rate_; }
    std::int64_t numSamples() const noexcept { return num_samples_; }
    CMBlockBuffer* dataBuffer() const noexcept { return block_.get(); }
    const std::vector<AudioBufferLayout>& audioLayout() const noexcept { return layout_; }

    // Makes the next fills of this buffer's audio list fail with status (noErr restores).
    void setFillStatusForTesting(OSStatus status) noexcept { fill_status_.store(status); }
    OSStatus fillStatusForTesting() const noexcept { return fill_status_.load(); }

private:
    CMSampleBuffer(bool hasAudio, Ref<CMBlockBuffer> block, std::vector<AudioBufferLayout> layout,
                   std::int64_t sampleRate, std::int64_t numSamples);
    ~CMSampleBuffer() override = default;

    bool has_audio_;
    Ref<CMBlockBuffer> block_;
    std::vector<AudioBufferLayout> layout_;
    std::int64_t sample_rate_;
    std::int64_t num_samples_;
    std::atomic<OSStatus> fill_status_{noErr};
};

// Size query (bufferListOut null): writes the list size the audio needs to
// *bufferListSizeNeededOut (0 for a buffer without audio, with an error status).
// Fill (bufferListOut non-null, bufferListSize bytes of storage): writes the list, and
// stores the backing block buffer with one reference for the caller in *blockBufferOut.
// Allocators are accepted and ignored (null is the default allocator).
OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBuffer* sampleBuffer, std::size_t* bufferListSizeNeededOut,
    AudioBufferList* bufferListOut, std::size_t bufferListSize,
    const void* blockBufferStructureAllocator, const void* blockBufferBlockAllocator,
    std::uint32_t flags, CMBlockBuffer** blockBufferOut);

}  // namespace platform
