#pragma once

// A small libpulse client: one threaded main loop per object, its lock taken only
// around server calls, every wait bounded. It never autospawns a server. It knows
// nothing about the objects it feeds.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pulse/frame_assembler.h"

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

namespace platform::pulse {

using namespace std::chrono_literals;

struct SinkInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    std::string monitor_source_name;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
};

namespace detail {
struct LoopFree {
    void operator()(pa_threaded_mainloop* loop) const;
};
struct ContextUnref {
    void operator()(pa_context* context) const;
};
struct StreamUnref {
    void operator()(pa_stream* stream) const;
};
}  // namespace detail

// One connection to the server, with the main loop thread that serves it.
class PulseClient {
    struct Key {};

public:
    static constexpr auto CONNECT_LIMIT = 1000ms;
    static constexpr auto REQUEST_LIMIT = 2000ms;

    // Connects to the server libpulse's own configuration names (PULSE_SERVER,
    // client.conf, the default socket). Failure texts are the server library's.
    static std::expected<std::unique_ptr<PulseClient>, std::string> connect(
        std::string_view client_name, std::chrono::milliseconds limit = CONNECT_LIMIT);

    explicit PulseClient(Key);
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;
    // Disconnects, then stops and joins the loop thread.
    ~PulseClient();

    // Every sink of the server, the default sink first, the rest in server order.
    std::expected<std::vector<SinkInfo>, std::string> list_sinks(
        std::chrono::milliseconds limit = REQUEST_LIMIT);

private:
    friend class PulseRecorder;

    static void on_context_state(pa_context* context, void* self);
    // Waits, with the loop lock held, until `done` holds or `limit` has passed.
    bool wait_locked(const std::function<bool()>& done, std::chrono::milliseconds limit);
    std::string context_error() const;

    std::unique_ptr<pa_threaded_mainloop, detail::LoopFree> loop_;
    std::unique_ptr<pa_context, detail::ContextUnref> context_;
    bool ready_ = false;
    bool closing_ = false;
    // Called on the loop thread, lock held, when a ready connection is lost.
    std::function<void()> on_lost_;
};

struct RecordFormat {
    std::uint32_t rate = 48000;
    std::uint32_t channels = 2;
    // What the server gathers before it sends. Kept short: the sink then renders only that
    // far ahead, and when a new sound starts the sink re-renders that span, which the
    // monitor has already sent as it was: the new sound loses its first fragment's worth.
    std::chrono::microseconds fragment = 10ms;
    // What each handed-over fragment holds (two codec frames): gathered from the server's
    // fragments so that the consumer wakes a quarter as often. A stop or a failure hands
    // over what is gathered, so it costs no audio.
    std::chrono::microseconds delivery = 40ms;
};

// Records one source (a sink's monitor) and hands every fragment to a handler.
//
// Both handlers run with the loop lock held, on the loop thread (the fragment handler
// also inside stop(), for silence owed since the start and for what is gathered): they
// must only take over what they are given and return, and must never call stop().
class PulseRecorder {
    struct Key {};

public:
    // 32-bit float samples, interleaved, valid for the call; first_frame counts the
    // frames handed over before them (silence included).
    using FragmentHandler = FrameAssembler::Sink;
    // Called at most once, with the server's text, when the connection or the
    // stream fails while recording.
    using FailureHandler = std::function<void(std::string)>;

    static constexpr auto START_LIMIT = 2000ms;

    static std::expected<std::unique_ptr<PulseRecorder>, std::string> start(
        std::string_view source, RecordFormat format, FragmentHandler on_fragment,
        FailureHandler on_failure, std::chrono::milliseconds connect_limit = PulseClient::CONNECT_LIMIT,
        std::chrono::milliseconds start_limit = START_LIMIT);

    explicit PulseRecorder(Key);
    PulseRecorder(const PulseRecorder&) = delete;
    PulseRecorder& operator=(const PulseRecorder&) = delete;
    ~PulseRecorder();

    // Ends the recording. When it returns no handler is running or will run again.
    // Safe to call more than once.
    void stop();

private:
    static void on_stream_state(pa_stream* stream, void* self);
    static void on_readable(pa_stream* stream, std::size_t bytes, void* self);
    void read_available();
    void fill_start_gap(std::chrono::microseconds covered);
    void fail(std::string text);

    RecordFormat format_;
    FragmentHandler on_fragment_;
    FailureHandler on_failure_;
    std::unique_ptr<PulseClient> client_;
    std::unique_ptr<pa_stream, detail::StreamUnref> stream_;
    std::optional<FrameAssembler> assembler_;
    std::optional<std::chrono::steady_clock::time_point> ready_at_;
    bool data_seen_ = false;
    bool recording_ = false;
    bool stopped_ = false;
    bool failed_ = false;
};

}  // namespace platform::pulse
