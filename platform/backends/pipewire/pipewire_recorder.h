#pragma once

// Records what the user hears through PipeWire's own protocol: a capture stream on a sink's
// monitor, handed over as fragments of interleaved 32-bit float frames, as the sound-server
// recorder does (the same gap rule, mixer and fragment assembly).
//
// The stream asks for no latency: a latency asked by any client sets the quantum of the
// whole graph, and a smaller quantum makes every client of the sink wake more often.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/backends/audio/recorder_core.h"
#include "platform/backends/pipewire/buffer_ring.h"
#include "platform/backends/pipewire/pipewire_client.h"

namespace platform::pipewire {

// The stream's buffers come on the context's real-time data thread, which only copies each
// into a ring and signals the client's loop thread; the loop thread places them, as it runs
// everything else of the recorder. The sink is called on the loop thread, or inside stop()
// with the loop's lock held; it must only take over what it is given, and never call stop().
class PipewireRecorder {
    struct Key {};

public:
    using Clock = audio::RecorderCore::Clock;

    static constexpr auto START_LIMIT = 2000ms;
    // What each handed-over fragment holds, as with the other sound-server backend.
    static constexpr auto DELIVERY = 40ms;
    // The usual delay of the first data: about one quantum of the graph.
    static constexpr auto FIRST_DATA = 20ms;
    // The oldest graph-cycle time that still places data; an older report is stale.
    static constexpr auto MAX_CYCLE_AGE = 500ms;
    // How much the ring between the data thread and the loop thread holds, at most, in time of
    // an 8-channel sink; rounded down to a power of two, 341 ms at 48 kHz (four times that of a
    // stereo sink): a loop held up for less loses nothing.
    static constexpr auto RING_TIME = 500ms;
    static constexpr std::uint32_t RING_CHANNELS = 8;

    // Records `source`, which must be a sink's monitor ("<sink>.monitor"), through `client`,
    // which it owns from then on, into `out`.
    static std::expected<std::unique_ptr<PipewireRecorder>, BackendError> start(
        std::unique_ptr<PipewireClient> client, std::string_view source, std::uint32_t rate,
        std::uint32_t channels, std::shared_ptr<CaptureSink> out);

    PipewireRecorder(Key, std::uint32_t rate, std::uint32_t channels);
    PipewireRecorder(const PipewireRecorder&) = delete;
    PipewireRecorder& operator=(const PipewireRecorder&) = delete;
    ~PipewireRecorder() { stop(); }

    // Ends the recording. When it returns no handler is running or will run again.
    void stop();

private:
    // One opened stream, as the data thread sees it: set before the stream is connected and
    // read only on the data thread afterwards.
    struct Feed {
        PipewireRecorder* owner = nullptr;
        pw_stream* stream = nullptr;
        spa_hook listener{};
        std::uint32_t frame_bytes = 0;
        bool delivered = false;  // the stream has handed over a buffer
        bool closing = false;    // loop thread: the stream is being destroyed
        std::uint64_t frames_unannounced = 0;
    };
    // Loop thread, lock held.
    std::expected<void, BackendError> open_stream(const SinkInfo& sink);
    // Places what the closed stream left in the ring, then forgets the stream.
    void close_stream();
    void on_state(pw_stream_state state, const char* error);
    // The sinks or the default changed, or the stream ended: record the right sink, if any.
    void reconsider();
    // What plays into the recorded sink changed: tell the mixer whether the front pair alone
    // is the sound (every stream there has at most two channels, the rest is the server's
    // upmix) or the whole layout is mixed down.
    void follow_playing();
    void fail(BackendError error);

    // Data thread.
    static void process(Feed& feed);

    // Loop thread, or a thread holding its lock.
    void drain();
    void place(const BufferHeader& header, const float* samples);
    Clock::time_point cycle_time(const BufferHeader& header);

    const std::uint32_t rate_;
    const std::uint32_t channels_;

    // Loop thread.
    std::unique_ptr<PipewireClient> client_;
    std::unique_ptr<Feed> feed_;
    spa_source* recheck_ = nullptr;  // runs reconsider() outside the stream's own callbacks
    spa_source* arrived_ = nullptr;  // runs drain(): the data thread has put buffers in the ring
    SinkInfo sink_;
    bool streaming_ = false;
    bool stream_ended_ = false;
    bool following_ = false;
    bool front_only_ = false;  // what follow_playing() last told the mixer
    bool recording_ = false;
    bool stopped_ = false;
    bool failed_ = false;

    // Between the data thread and the loop thread.
    BufferRing ring_;
    std::uint64_t wake_frames_ = 0;       // signal the loop once this much has come
    std::atomic<bool> wake_each_{false};  // a stop waits: signal it for every buffer

    std::unique_ptr<float[]> scratch_;  // a buffer's samples that go across the ring's end
    std::optional<audio::RecorderCore> core_;
    Clock::time_point last_cycle_{};  // the time the last data was placed at
};

}  // namespace platform::pipewire
