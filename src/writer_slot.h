#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "opus_ogg/opus_ogg_writer.h"

namespace helper {

// The writer as the main thread and the capture queue share it: an optional writer behind
// a mutex, plus a failed mark. The mark is set when a writer call ends by an exception while
// the lock is held; the writer may then be half-way through a frame, so neither side uses it
// again. Held through std::shared_ptr: the run function keeps one reference, the capture
// output handler the other.
//
// The slot also keeps the recording to its length: it hands the writer at most
// `sample_limit` samples over its life and drops what comes after, so a run loop that notices
// its deadline late (a busy machine) cannot make the recording longer.
//
// A template only so that tests can put in a writer that misbehaves on demand.
template <class Writer>
class BasicWriterSlot {
public:
    // What the main thread finds when it comes to finalise.
    enum class Take { Taken, Empty, Failed };

    static constexpr std::uint64_t NO_LIMIT = std::numeric_limits<std::uint64_t>::max();

    // `sample_limit` counts interleaved samples; a whole number of frames of every channel
    // keeps the last samples handed over aligned.
    explicit BasicWriterSlot(Writer writer, std::uint64_t sample_limit = NO_LIMIT)
        : writer_(std::move(writer)), room_(sample_limit) {}

    BasicWriterSlot(const BasicWriterSlot&) = delete;
    BasicWriterSlot& operator=(const BasicWriterSlot&) = delete;

    // Capture side: hands `samples`, up to the limit, to the writer unless the slot is empty,
    // failed or full. The writer's error is dropped (a recording goes on past a failed
    // write). An exception from the writer sets the failed mark and then travels on to the
    // caller's guard. Returns whether the writer was called.
    bool write_pcm_i16(std::span<const std::int16_t> samples) {
        std::lock_guard lock(mutex_);
        if (failed_ || !writer_ || room_ == 0) return false;
        if (samples.size() > room_) samples = samples.first(static_cast<std::size_t>(room_));
        room_ -= samples.size();
        try {
            (void)writer_->write_pcm_i16(samples);
        } catch (...) {
            failed_ = true;
            throw;
        }
        return true;
    }

    // Main-thread side: moves the writer out, leaving the slot empty so that a late capture
    // call writes nothing. A failed slot keeps its writer; it is destroyed with the slot.
    std::pair<Take, std::optional<Writer>> take() {
        std::lock_guard lock(mutex_);
        if (failed_) return {Take::Failed, std::nullopt};
        if (!writer_) return {Take::Empty, std::nullopt};
        std::optional<Writer> taken = std::move(writer_);
        writer_.reset();
        return {Take::Taken, std::move(taken)};
    }

private:
    std::mutex mutex_;
    std::optional<Writer> writer_;
    bool failed_ = false;
    std::uint64_t room_;  // samples the writer may still be given
};

using WriterSlot = BasicWriterSlot<opus_ogg::OpusOggWriter>;

inline std::shared_ptr<WriterSlot> make_writer_slot(
    opus_ogg::OpusOggWriter writer, std::uint64_t sample_limit = WriterSlot::NO_LIMIT) {
    return std::make_shared<WriterSlot>(std::move(writer), sample_limit);
}

}  // namespace helper
