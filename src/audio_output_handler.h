#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "capture/sample_buffer.h"
#include "capture/stream_output.h"
#include "src/writer_slot.h"

namespace helper {

// One captured float sample as a 16-bit sample: clamped to -1..1, scaled by 32767 and
// truncated toward zero, so full scale is +-32767 and never -32768. NaN gives 0.
// Inline, so that the loops over a buffer (every sample of the recording passes here) make
// no call per sample.
inline std::int16_t float_to_i16(float sample) noexcept {
    // NaN, the one value unequal to itself, would pass both comparisons below unchanged.
    float clamped = sample == sample ? sample : 0.0f;
    clamped = clamped < -1.0f ? -1.0f : clamped;
    clamped = clamped > 1.0f ? 1.0f : clamped;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(clamped * 32767.0f));
}

// The audio of one sample buffer as interleaved 16-bit stereo, in one allocation.
//
// One buffer is interleaved: of its whole frames, two channels pass through as they are,
// one channel is duplicated to both sides, and of more channels only the first two are
// kept. A partial frame at the end (an odd stereo sample) is dropped. Several buffers are planar:
// left from the first, right from the second, as many frames as the shortest buffer holds.
//
// Written into `out`, whose room is reused from call to call. False when the buffers hold
// no whole sample; true with `out` empty when a single buffer holds fewer samples than one
// frame of its channels.
bool to_interleaved_stereo(const capture::AudioBufferList& list, std::vector<std::int16_t>& out);

// The stream output handler: turns each audio sample buffer into 16-bit stereo and hands
// it to the writer slot it shares with the run function. Runs on the capture queue.
template <class Writer>
class AudioOutputHandler {
public:
    explicit AudioOutputHandler(std::shared_ptr<BasicWriterSlot<Writer>> slot)
        : slot_(std::move(slot)) {}

    // The sample buffer is ours and goes when this returns, also by an exception.
    void operator()(capture::CMSampleBuffer sample_buffer,
                    capture::SCStreamOutputType of_type) const {
        if (of_type != capture::SCStreamOutputType::Audio) return;
        {
            const auto list = sample_buffer.audio_buffer_list();
            if (!list || !to_interleaved_stereo(*list, samples_)) return;
        }
        // The list (and its block buffer) is gone before the lock is taken: the lock is
        // held only for the writer call.
        // The slot drops the writer's error: a failed write does not end the recording.
        (void)slot_->write_pcm_i16(samples_);
    }

private:
    std::shared_ptr<BasicWriterSlot<Writer>> slot_;
    // The converted samples of one call. Calls never overlap (the capture queue is serial),
    // so one room serves them all and recording allocates none once it has grown.
    mutable std::vector<std::int16_t> samples_;
};

}  // namespace helper
