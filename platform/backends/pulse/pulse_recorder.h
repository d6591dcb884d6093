#pragma once

// Records what the user hears: the monitor of a sink, handed over as fragments of
// interleaved 32-bit float frames.
//
// - A recording covers the wall-clock time from start to stop or failure: whatever the
//   server does not deliver (the start, a suspended sink, a stall, a move, a lost server)
//   becomes silence by the rule of Timeline.
// - A surround or mono sink is recorded in its own layout and mixed to stereo here.
// - Recording the default sink follows the default: when it changes, or the sink goes
//   away while another remains, recording moves to the new default's monitor. Only ever
//   a sink's monitor is recorded, never another source (which could be a microphone).

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/backends/audio/channel_mixer.h"
#include "platform/backends/audio/recorder_core.h"
#include "platform/backends/pulse/pulse_client.h"
#include "platform/backends/pulse/write_positions.h"

namespace platform::pulse {

using audio::ChannelMixer;

// How a recording is made. Rate and channel count are the caller's (the capture's
// configuration), checked by the backend before a recorder starts. The fragment sizes are this
// backend's own tuning.
struct RecordFormat {
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    // What the server gathers before it sends, which also sets how far ahead the sink
    // renders and how often the server and this client wake. Measured against 10 ms in one
    // run of the end-to-end benchmark: the helper's CPU and the server's together fall by
    // about a third; a new sound's onset keeps within about 20 ms (the monitor holds back
    // what the sink may still render again), and a stop waits one to two of these for the
    // fragment in flight, which holds what was heard before it.
    std::chrono::microseconds fragment = 40ms;
    // What each handed-over fragment holds. Every one becomes a sample buffer and a wake-up
    // of the output queue's worker, so the server's first, short fragments are gathered up
    // to this too. A stop or a failure hands over what is gathered, so it costs no audio.
    std::chrono::microseconds delivery = 40ms;
};

// The sink is called with the loop lock held, on the loop thread (also inside stop(), for the
// silence owed and for what is gathered): it must only take over what it is given and
// return, and must never call stop().
class PulseRecorder {
    struct Key {};

public:
    using Clock = audio::RecorderCore::Clock;

    static constexpr auto START_LIMIT = 2000ms;

    // Records `source`, which must be a sink's monitor, into `out`: its fragments, and the
    // server's failure at most once, when the connection or the stream fails while recording.
    static std::expected<std::unique_ptr<PulseRecorder>, BackendError> start(
        std::string_view source, RecordFormat format, std::shared_ptr<CaptureSink> out);

    explicit PulseRecorder(Key);
    ~PulseRecorder();

    // Ends the recording. When it returns no handler is running or will run again.
    // Safe to call more than once.
    void stop();

private:
    // Opens a record stream on the sink's monitor; the stream's state callback goes on.
    std::expected<void, BackendError> open_stream(const SinkInfo& sink);
    void close_stream();
    // Asks the server for the format's fragment once the stream's first data is there.
    void lengthen_fragments();
    void follow_default();
    void on_sinks(SinkList sinks);
    void on_stream_state();
    void read_available();
    // Asks where the server's writing stands, unless it is asked already.
    void ask_position();
    void on_position();
    void fail(BackendError failure);

    RecordFormat format_;
    std::optional<audio::RecorderCore> core_;
    std::unique_ptr<PulseClient> client_;
    std::unique_ptr<pa_stream, detail::Releaser<pa_stream_unref>> stream_;
    std::unique_ptr<SinkQuery> query_;
    detail::Operation subscribe_op_;
    SinkInfo sink_;                            // the sink recorded
    std::size_t in_frame_bytes_ = 0;           // of the stream
    BackendError stream_error_;                // why the last stream ended
    std::optional<WritePositions> positions_;  // of the stream
    detail::Operation position_op_;
    std::int64_t read_index_ = 0;  // frames read from the stream
    bool following_ = false;
    bool lengthen_ = false;  // the stream still has its first, short fragment
    bool recording_ = false;
    bool stopped_ = false;
    bool failed_ = false;
};

}  // namespace platform::pulse
