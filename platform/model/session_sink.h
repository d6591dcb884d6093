// The sink one capture of a stream writes into. Internal to the platform.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/model/backend.h"
#include "platform/model/block_buffer.h"
#include "platform/model/ref.h"
#include "platform/model/sample_buffer.h"
#include "platform/model/stream_core.h"
#include "platform/model/stream_output.h"
#include "platform/runtime/runtime.h"

namespace platform {

// The sink one capture writes into; it names its capture, so an old capture's calls are
// told apart from the current one's.
class SessionSink final : public CaptureSink {
public:
    SessionSink(std::weak_ptr<StreamCore> core, std::uint64_t session)
        : core_(std::move(core)), session_(session) {}

    std::span<float> audio_room(std::size_t samples, std::uint32_t channels,
                                std::int64_t sample_rate) override {
        const std::size_t bytes = samples * sizeof(float);
        std::lock_guard lock(rooms_mutex_);
        // A buffer only the pool still holds (block included) is free: its last reader has
        // let go of it, and nothing else can reach it.
        const auto free = std::find_if(rooms_.begin(), rooms_.end(), [&](const auto& room) {
            const auto& layout = room->audioLayout().front();
            return room->retain_count() == 1 && room->dataBuffer()->retain_count() == 1 &&
                   layout.data_byte_size == bytes && layout.number_channels == channels &&
                   room->sampleRate() == sample_rate;
        });
        if (free != rooms_.end()) {
            given_ = *free;
        } else {
            const auto block = CMBlockBuffer::create(bytes);
            given_ =
                CMSampleBuffer::createInterleavedFloat(block.get(), bytes, channels, sample_rate);
            // The outputs fell behind, or a burst came (the silence owed for a wait, say): the
            // pool stops growing, and the rooms beyond it go with their buffers.
            if (rooms_.size() < MAX_ROOMS) rooms_.push_back(given_);
        }
        return {reinterpret_cast<float*>(given_->dataBuffer()->data()), samples};
    }

    void audio(std::size_t samples) override {
        Ref<CMSampleBuffer> buffer;
        {
            std::lock_guard lock(rooms_mutex_);
            buffer = std::move(given_);
        }
        const auto core = core_.lock();
        if (!core || !buffer) return;
        const std::size_t bytes = samples * sizeof(float);
        const auto& layout = buffer->audioLayout().front();
        const std::span fragment(
            reinterpret_cast<const float*>(buffer->dataBuffer()->data()),
            std::min<std::size_t>(bytes, layout.data_byte_size) / sizeof(float));
        const auto channels = layout.number_channels;
        // Silence shares the block of zeros, and its room is free again at once.
        if (is_silence(fragment)) {
            buffer = silence(fragment.size_bytes(), channels, buffer->sampleRate());
        } else if (fragment.size_bytes() != layout.data_byte_size) {
            // Its first frames: a buffer of their own over the same block.
            buffer = CMSampleBuffer::createInterleavedFloat(
                buffer->dataBuffer(), fragment.size_bytes(), channels, buffer->sampleRate());
        }
        core->deliver(buffer.get(), SCStreamOutputType::Audio, session_);
    }

    void failed(BackendError failure) override {
        if (failed_.exchange(true)) return;  // only the first failure of a capture counts
        // The reaction (ending the capture, telling the delegate) belongs on a worker, never on
        // the backend's thread.
        post([core = core_, session = session_, failure = std::move(failure)]() mutable {
            if (const auto locked = core.lock()) locked->failed(session, std::move(failure));
        });
    }

private:
    // Rooms kept for use again: fragments queued at once before the pool stops growing.
    static constexpr std::size_t MAX_ROOMS = 4;

    static bool is_silence(std::span<const float> samples) {
        return std::all_of(samples.begin(), samples.end(),
                           [](float sample) { return std::bit_cast<std::uint32_t>(sample) == 0; });
    }

    // Digital silence (an idle desktop, or the silence owed for the wait before the first
    // data, handed over at once) shares one block of zeros instead of a copy per buffer.
    Ref<CMSampleBuffer> silence(std::size_t bytes, std::uint32_t channels,
                                std::int64_t sample_rate) {
        Ref<CMBlockBuffer> zeros;
        {
            std::lock_guard lock(zeros_mutex_);
            if (CMBlockBufferGetDataLength(zeros_.get()) < bytes)
                zeros_ = CMBlockBuffer::create(bytes);
            zeros = zeros_;
        }
        return CMSampleBuffer::createInterleavedFloat(zeros.get(), bytes, channels, sample_rate);
    }

    const std::weak_ptr<StreamCore> core_;
    const std::uint64_t session_;
    std::atomic<bool> failed_{false};
    std::mutex zeros_mutex_;
    Ref<CMBlockBuffer> zeros_;
    std::mutex rooms_mutex_;
    std::vector<Ref<CMSampleBuffer>> rooms_;  // sample buffers whose rooms are buffer again
    Ref<CMSampleBuffer> given_;               // the room given last, until it is handed over
};

}  // namespace platform
