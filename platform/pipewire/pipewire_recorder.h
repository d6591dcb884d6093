#pragma once

// Records what the user hears through PipeWire's own protocol: a capture stream on a sink's
// monitor, handed over as fragments of interleaved 32-bit float frames, as the sound-server
// recorder does (the same gap rule, mixer and fragment assembly).
//
// The stream asks for no latency: a latency asked by any client sets the quantum of the
// whole graph, and a smaller quantum makes every client of the sink wake more often.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio/channel_mixer.h"
#include "platform/audio/frame_assembler.h"
#include "platform/audio/held_audio.h"
#include "platform/audio/timeline.h"
#include "platform/pipewire/pipewire_client.h"

namespace platform::pipewire {

// Both handlers run with the loop lock held, on the loop thread (the fragment handler also
// inside stop()); they must only take over what they are given, and never call stop().
class PipewireRecorder {
    struct Key {};

public:
    using FragmentHandler = audio::FrameAssembler::Sink;
    using FailureHandler = std::function<void(std::string)>;

    static constexpr auto START_LIMIT = 2000ms;
    // What each handed-over fragment holds, as with the other sound-server backend.
    static constexpr auto DELIVERY = 40ms;
    // The usual delay of the first data: about one quantum of the graph.
    static constexpr auto FIRST_DATA = 20ms;
    // Beyond two of the graph's cycles, the most a stop waits for its data.
    static constexpr auto TAIL_MARGIN = 30ms;
    // The oldest graph-cycle time that still places data; an older report is stale.
    static constexpr auto MAX_CYCLE_AGE = 500ms;

    // Records `source`, which must be a sink's monitor ("<sink>.monitor"), through `client`,
    // which it owns from then on. Fragments are gathered in `room`'s rooms when it gives them.
    static std::expected<std::unique_ptr<PipewireRecorder>, std::string> start(
        std::unique_ptr<PipewireClient> client, std::string_view source, std::uint32_t rate,
        std::uint32_t channels, FragmentHandler on_fragment, FailureHandler on_failure,
        audio::FrameAssembler::Room room = nullptr);

    explicit PipewireRecorder(Key) {}
    PipewireRecorder(const PipewireRecorder&) = delete;
    PipewireRecorder& operator=(const PipewireRecorder&) = delete;
    ~PipewireRecorder() { stop(); }

    // Ends the recording. When it returns no handler is running or will run again.
    void stop();

private:
    std::expected<void, std::string> open_stream(const SinkInfo& sink);
    void close_stream();
    void on_state(pw_stream_state state, const char* error);
    void process();
    audio::Timeline::Clock::time_point cycle_time();
    // Whether `chunk` is the stream's first and holds nothing that came through its link.
    bool empty_before_link(const spa_chunk& chunk);
    // The sinks or the default changed, or the stream ended: record the right sink, if any.
    void reconsider();
    void take(const void* data, std::size_t bytes, bool hold);
    void release_held(const audio::Timeline::Arrival& arrival);
    void end_recording(audio::Timeline::Clock::time_point at);
    void fail(std::string text);

    std::uint32_t rate_ = 0;
    std::uint32_t channels_ = 0;
    FragmentHandler on_fragment_;
    FailureHandler on_failure_;
    std::unique_ptr<PipewireClient> client_;
    pw_stream* stream_ = nullptr;
    spa_hook stream_listener_{};
    spa_source* recheck_ = nullptr;  // runs reconsider() outside the stream's own callbacks
    SinkInfo sink_;
    std::optional<audio::ChannelMixer> mixer_;
    std::size_t in_frame_bytes_ = 0;
    std::optional<audio::FrameAssembler> assembler_;
    std::optional<audio::Timeline> timeline_;
    std::optional<audio::HeldAudio> held_;  // held back while a gap is undecided
    bool streaming_ = false;
    bool awaiting_tail_ = false;  // the stop waits for data arriving after tail_after_
    audio::Timeline::Clock::time_point tail_after_{};
    std::chrono::microseconds cycle_ = FIRST_DATA;     // what the graph's last cycle held
    audio::Timeline::Clock::time_point last_cycle_{};  // the time the last data was placed at
    bool stream_ended_ = false;
    bool following_ = false;
    bool delivered_ = false;  // the stream has handed over a buffer
    bool timeline_started_ = false;
    bool recording_ = false;
    bool stopped_ = false;
    bool failed_ = false;
};

}  // namespace platform::pipewire
