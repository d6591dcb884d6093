#pragma once

// What a sound-server recorder does with its audio, whichever server it records: each arrival
// is placed by the gap rule (Timeline, with the audio it holds back), mixed to stereo when the
// stream is in another layout, gathered into fragments and handed over; a stop waits for the
// tail that is still on its way, then ends the recording with the silence owed.
//
// The backend keeps its client and its stream, and says when each arrival was recorded by its
// server's clock. Everything but finish() runs on the recording thread: the one that places the
// audio and calls the sink (or any thread holding the lock that makes it one).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/backends/audio/channel_mixer.h"
#include "platform/backends/audio/timeline.h"
#include "platform/model/backend.h"

namespace platform::audio {

class RecorderCore {
public:
    using Clock = Timeline::Clock;
    // Runs a step on the recording thread and returns once it ran.
    using Run = std::function<void(const std::function<void()>&)>;

    // Beyond two cycles, the most a stop waits for its tail: the trip and the server's wake-up.
    static constexpr auto TAIL_MARGIN = std::chrono::milliseconds(30);

    struct Format {
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        std::chrono::microseconds first_data{};  // the usual delay of the first data
        std::chrono::microseconds cycle{};       // how much the server delivers at once
        std::chrono::microseconds delivery{};    // what each handed-over fragment holds
    };

    // Fragments of `delivery` are gathered in the rooms `sink` gives and handed to it, and a
    // failure is told to it at most once. `before_end` runs first when the recording ends, to place
    // what is still on its way.
    RecorderCore(const Format& format, std::shared_ptr<CaptureSink> sink,
                 std::function<void()> before_end = nullptr);

    // Time counts from here; the server said data is missing.
    void start(Clock::time_point at) { timeline_.start(at); }
    void note_gap() { timeline_.note_gap(); }
    // Mixes what comes from now on (null: it is in the recording's layout already).
    void use_mixer(std::optional<ChannelMixer> mixer) { mixer_ = std::move(mixer); }
    ChannelMixer* mixer() { return mixer_ ? &*mixer_ : nullptr; }
    // How much the server delivers at once, as last seen.
    void cycle_is(std::chrono::microseconds cycle) { cycle_ = cycle; }

    // `frames` frames in `bytes` bytes of the stream's layout (null data: a hole, that many
    // frames of silence), the last of them recorded at `at`. Nothing is placed once the tail
    // came or the recording ended.
    void place(Clock::time_point at, const void* data, std::size_t bytes, std::size_t frames);
    // Data came at `at`: once it is a whole cycle after a stop, the tail is in.
    void tail_came(Clock::time_point at);
    // While a stop waits for the tail, the stream's bytes that may still be taken (what was
    // heard before the stop); otherwise no limit.
    std::size_t due_after_stop(std::size_t frame_bytes) const;
    // Ends the recording at `at` when it `recorded`, then tells the failure; nothing once the
    // recording ended.
    void fail(BackendError failure, bool recorded, Clock::time_point at = Clock::now());

    // From the stopping thread, never the recording thread: waits for the tail when `await`
    // (the stream is delivering), then ends the recording at the moment of the stop, so that
    // a stream with nothing on its way counts no time past it. A recording that failed stays
    // as it ended.
    void finish(bool await, const Run& run);

private:
    void end(Clock::time_point at);
    // `bytes` bytes of whole frames (null data: that much silence), held or gathered.
    void take(const void* data, std::size_t bytes, bool hold);
    // `silence` frames of silence, then what was held less its first `overlap` frames (time
    // already recorded, handed over twice).
    void release(std::uint64_t silence, std::uint64_t overlap);
    // Into the fragment, in the room the sink gave when its first byte came; a full one is
    // handed over there.
    void gather(const void* data, std::size_t bytes);
    // Hands over the frames gathered so far; the next fragment takes a room of its own.
    void hand_over();

    std::uint32_t channels_;
    std::uint32_t rate_;
    std::shared_ptr<CaptureSink> sink_;
    std::function<void()> before_end_;
    Timeline timeline_;
    std::size_t fragment_bytes_;
    std::byte* room_ = nullptr;  // the fragment being gathered, once its first byte came
    std::size_t gathered_bytes_ = 0;
    // Audio that came after a gap, held until the gap rule knows how much of the gap it
    // covers: whole frames, as they came.
    std::vector<std::byte> held_;
    std::optional<ChannelMixer> mixer_;
    std::chrono::microseconds cycle_;
    bool closed_ = false;  // nothing more is placed
    bool ended_ = false;
    bool awaiting_tail_ = false;
    Clock::time_point stopped_at_{};
    Clock::time_point tail_after_{};  // data that comes after this ends the wait

    // The stopping thread waits on these.
    std::mutex tail_mutex_;
    std::condition_variable tail_seen_;
    bool tail_done_ = false;
};

}  // namespace platform::audio
