#include "platform/model/sample_buffer.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace platform {
namespace {

std::uint32_t byte_size(std::size_t bytes) {
    // A size past what the list can state is reported short: readers then see less, never more.
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

CMSampleBuffer::CMSampleBuffer(bool hasAudio, Ref<CMBlockBuffer> block,
                               std::vector<AudioBufferLayout> layout, std::int64_t sampleRate,
                               std::int64_t numSamples)
    : Object(Kind::SampleBuffer),
      has_audio_(hasAudio),
      block_(std::move(block)),
      layout_(std::move(layout)),
      sample_rate_(sampleRate),
      num_samples_(numSamples) {}

Ref<CMSampleBuffer> CMSampleBuffer::createAudio(CMBlockBuffer* block,
                                                std::vector<AudioBufferLayout> layout,
                                                std::int64_t sampleRate, std::int64_t numSamples) {
    return Ref<CMSampleBuffer>::adopt(new CMSampleBuffer(
        true, Ref<CMBlockBuffer>::retain(block), std::move(layout), sampleRate, numSamples));
}

Ref<CMSampleBuffer> CMSampleBuffer::createInterleavedFloat(CMBlockBuffer* block, std::size_t bytes,
                                                           std::uint32_t channels,
                                                           std::int64_t sampleRate) {
    const auto frames =
        channels == 0 ? 0 : static_cast<std::int64_t>(bytes / (sizeof(float) * channels));
    std::vector<AudioBufferLayout> layout{{channels, byte_size(bytes), 0}};
    return createAudio(block, std::move(layout), sampleRate, frames);
}

Ref<CMSampleBuffer> CMSampleBuffer::createWithoutAudio() {
    return Ref<CMSampleBuffer>::adopt(new CMSampleBuffer(false, nullptr, {}, 0, 0));
}

OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBuffer* sampleBuffer, std::size_t* bufferListSizeNeededOut,
    AudioBufferList* bufferListOut, std::size_t bufferListSize,
    const void* blockBufferStructureAllocator, const void* blockBufferBlockAllocator,
    std::uint32_t flags, CMBlockBuffer** blockBufferOut) {
    (void)blockBufferStructureAllocator;
    (void)blockBufferBlockAllocator;
    (void)flags;
    if (blockBufferOut != nullptr) *blockBufferOut = nullptr;
    if (bufferListSizeNeededOut != nullptr) *bufferListSizeNeededOut = 0;
    if (sampleBuffer == nullptr) return kCMSampleBufferError_RequiredParameterMissing;
    if (!sampleBuffer->hasAudio()) return kCMSampleBufferError_InvalidMediaFormat;

    const auto& layout = sampleBuffer->audioLayout();
    const std::size_t needed = AudioBufferList::size_for(layout.size());
    if (bufferListSizeNeededOut != nullptr) *bufferListSizeNeededOut = needed;
    if (bufferListOut == nullptr) {
        return bufferListSizeNeededOut != nullptr ? noErr
                                                  : kCMSampleBufferError_RequiredParameterMissing;
    }
    if (blockBufferOut == nullptr) return kCMSampleBufferError_RequiredParameterMissing;
    if (const OSStatus forced = sampleBuffer->fillStatusForTesting(); forced != noErr)
        return forced;
    if (bufferListSize < needed) return kCMSampleBufferError_ArrayTooSmall;

    CMBlockBuffer* const block = sampleBuffer->dataBuffer();
    const std::size_t length = CMBlockBufferGetDataLength(block);
    bufferListOut->number_buffers = static_cast<std::uint32_t>(layout.size());
    AudioBuffer* out = bufferListOut->buffers();
    for (std::size_t i = 0; i < layout.size(); ++i) {
        const auto& entry = layout[i];
        void* data = nullptr;
        if (block != nullptr && entry.offset && *entry.offset <= length) {
            data = block->data() + *entry.offset;
        }
        out[i] = AudioBuffer{entry.number_channels, entry.data_byte_size, data};
    }
    *blockBufferOut = retain(block);
    return noErr;
}

}  // namespace platform
