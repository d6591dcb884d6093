// Sample-buffer entry points of the bridge: reference counting and the audio buffer list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "platform/model/block_buffer.h"
#include "platform/model/ref.h"
#include "platform/model/sample_buffer.h"

namespace {

using bridge::from_handle;
using bridge::to_handle;

// Scratch on the stack for lists of up to eight buffers.
constexpr std::size_t LOCAL_SCRATCH_UNITS = 10;

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

void clear_outputs(uint32_t* num_buffers, AudioBufferBridge** buffers_ptr, size_t* buffers_len,
                   cm_block_buffer** block_buffer) {
    if (num_buffers != nullptr) *num_buffers = 0;
    if (buffers_ptr != nullptr) *buffers_ptr = nullptr;
    if (buffers_len != nullptr) *buffers_len = 0;
    if (block_buffer != nullptr) *block_buffer = nullptr;
}

}  // namespace

extern "C" {

void cm_sample_buffer_get_audio_buffer_list(cm_sample_buffer* sample_buffer, uint32_t* num_buffers,
                                            AudioBufferBridge** buffers_ptr, size_t* buffers_len,
                                            cm_block_buffer** block_buffer) {
    clear_outputs(num_buffers, buffers_ptr, buffers_len, block_buffer);
    if (sample_buffer == nullptr || num_buffers == nullptr || buffers_ptr == nullptr ||
        buffers_len == nullptr || block_buffer == nullptr) {
        return;
    }
    // Our own reference for the length of the call.
    const auto buffer = platform::Ref<platform::CMSampleBuffer>::retain(from_handle(sample_buffer));

    std::size_t needed = 0;
    (void)platform::CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
        buffer.get(), &needed, nullptr, 0, nullptr, nullptr, 0, nullptr);
    if (needed == 0) return;

    // Whole one-buffer lists, plus one more, so the scratch area is never short. The lists of
    // audio (interleaved, or a few planes) fit on the stack; only a longer one is allocated.
    constexpr std::size_t unit = platform::AudioBufferList::size_for(1);
    const std::size_t scratch_size = (needed / unit + 2) * unit;
    alignas(platform::AudioBufferList) alignas(platform::AudioBuffer)
        std::byte local[LOCAL_SCRATCH_UNITS * unit] = {};
    std::unique_ptr<void, FreeDeleter> allocated;
    void* scratch = local;
    if (scratch_size > sizeof local) {
        allocated.reset(std::calloc(1, scratch_size));
        if (!allocated) return;
        scratch = allocated.get();
    }
    auto* list = static_cast<platform::AudioBufferList*>(scratch);

    platform::CMBlockBuffer* raw_block = nullptr;
    const platform::OSStatus status =
        platform::CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
            buffer.get(), nullptr, list, needed, nullptr, nullptr, 0, &raw_block);
    auto block = platform::Ref<platform::CMBlockBuffer>::adopt(raw_block);
    const std::uint32_t count = list->number_buffers;
    if (status != platform::noErr || !block || count == 0) return;

    const auto length =
        static_cast<std::uint32_t>(platform::CMBlockBufferGetDataLength(block.get()));
    auto* descriptors =
        static_cast<AudioBufferBridge*>(std::malloc(count * sizeof(AudioBufferBridge)));
    if (descriptors == nullptr) return;
    const platform::AudioBuffer* source = list->buffers();
    const auto block_start = reinterpret_cast<std::uintptr_t>(block->data());
    for (std::uint32_t i = 0; i < count; ++i) {
        descriptors[i].number_channels = source[i].number_channels;
        std::uint32_t size = source[i].data_byte_size < length ? source[i].data_byte_size : length;
        // A buffer that starts inside the block may only reach to the block's end: a size cut
        // to the whole block's length would still run past it from any later start. A pointer
        // outside the block has no bytes we can vouch for.
        const auto at = reinterpret_cast<std::uintptr_t>(source[i].data);
        if (source[i].data != nullptr) {
            const bool inside = at >= block_start && at - block_start <= length;
            const std::uintptr_t room = inside ? length - (at - block_start) : 0;
            if (size > room) size = static_cast<std::uint32_t>(room);
        }
        descriptors[i].data_bytes_size = size;
        descriptors[i].data_ptr = source[i].data;
    }
    *num_buffers = count;
    *buffers_ptr = descriptors;
    *buffers_len = count;
    *block_buffer = to_handle(block.leak());
}

cm_sample_buffer* cm_sample_buffer_retain(cm_sample_buffer* sample_buffer) {
    return to_handle(platform::retain(from_handle(sample_buffer)));
}

void cm_sample_buffer_release(cm_sample_buffer* sample_buffer) {
    platform::release(from_handle(sample_buffer));
}

void cm_block_buffer_release(cm_block_buffer* block_buffer) {
    platform::release(from_handle(block_buffer));
}

}  // extern "C"
