#include "platform/pulse/pulse_client.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <pulse/pulseaudio.h>

namespace platform::pulse {

namespace detail {
void LoopFree::operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
void ContextUnref::operator()(pa_context* context) const { pa_context_unref(context); }
void StreamUnref::operator()(pa_stream* stream) const { pa_stream_unref(stream); }
}  // namespace detail

namespace {

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// An operation handle that is cancelled, if still running, and unreferenced when
// dropped, so no reply can reach a caller that has returned.
class Operation {
public:
    explicit Operation(pa_operation* op) : op_(op) {}
    ~Operation() {
        if (op_ == nullptr) return;
        if (pa_operation_get_state(op_) == PA_OPERATION_RUNNING) pa_operation_cancel(op_);
        pa_operation_unref(op_);
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    explicit operator bool() const { return op_ != nullptr; }

private:
    pa_operation* op_;
};

std::string error_text(int code) { return pa_strerror(code); }

}  // namespace

// ---- PulseClient ----

PulseClient::PulseClient(Key) {}

std::expected<std::unique_ptr<PulseClient>, std::string> PulseClient::connect(
    std::string_view client_name, std::chrono::milliseconds limit) {
    auto client = std::make_unique<PulseClient>(Key{});
    client->loop_.reset(pa_threaded_mainloop_new());
    if (!client->loop_) return std::unexpected(error_text(PA_ERR_INTERNAL));
    const std::string name(client_name);
    client->context_.reset(
        pa_context_new(pa_threaded_mainloop_get_api(client->loop_.get()), name.c_str()));
    if (!client->context_) return std::unexpected(error_text(PA_ERR_INTERNAL));
    pa_context_set_state_callback(client->context_.get(), &PulseClient::on_context_state,
                                  client.get());

    // The helper never starts a server of its own: a missing one is an answer.
    if (pa_context_connect(client->context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return std::unexpected(client->context_error());
    }
    if (pa_threaded_mainloop_start(client->loop_.get()) < 0) {
        return std::unexpected(error_text(PA_ERR_INTERNAL));
    }

    LoopLock lock(client->loop_.get());
    pa_context* context = client->context_.get();
    const bool settled = client->wait_locked(
        [context] {
            const auto state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        limit);
    if (!settled) return std::unexpected(error_text(PA_ERR_TIMEOUT));
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        return std::unexpected(client->context_error());
    }
    client->ready_ = true;
    return client;
}

PulseClient::~PulseClient() {
    if (!loop_) return;
    if (context_) {
        LoopLock lock(loop_.get());
        closing_ = true;
        on_lost_ = nullptr;
        pa_context_set_state_callback(context_.get(), nullptr, nullptr);
        pa_context_disconnect(context_.get());
        context_.reset();
    }
    pa_threaded_mainloop_stop(loop_.get());
    loop_.reset();
}

void PulseClient::on_context_state(pa_context* context, void* self) {
    auto* client = static_cast<PulseClient*>(self);
    if (client->ready_ && !client->closing_ &&
        !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && client->on_lost_) {
        client->on_lost_();
    }
    pa_threaded_mainloop_signal(client->loop_.get(), 0);
}

std::string PulseClient::context_error() const {
    return error_text(pa_context_errno(context_.get()));
}

bool PulseClient::wait_locked(const std::function<bool()>& done,
                              std::chrono::milliseconds limit) {
    struct Timer {
        pa_threaded_mainloop* loop;
        bool fired = false;
    } timer{loop_.get()};
    const auto usec = static_cast<pa_usec_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(limit).count());
    pa_time_event* event = pa_context_rttime_new(
        context_.get(), pa_rtclock_now() + usec,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* t = static_cast<Timer*>(data);
            t->fired = true;
            pa_threaded_mainloop_signal(t->loop, 0);
        },
        &timer);
    // Without its timer the wait would have no bound: give up at once instead.
    if (event == nullptr) return done();
    while (!done() && !timer.fired) pa_threaded_mainloop_wait(loop_.get());
    pa_threaded_mainloop_get_api(loop_.get())->time_free(event);
    return done();
}

std::expected<std::vector<SinkInfo>, std::string> PulseClient::list_sinks(
    std::chrono::milliseconds limit) {
    struct Query {
        pa_threaded_mainloop* loop;
        std::string default_sink;
        bool server_done = false;
        bool server_ok = false;
        std::vector<SinkInfo> sinks;
        bool sinks_done = false;
        bool sinks_ok = false;
    } query{loop_.get(), {}, false, false, {}, false, false};

    LoopLock lock(loop_.get());
    Operation server_op(pa_context_get_server_info(
        context_.get(),
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* q = static_cast<Query*>(data);
            if (info != nullptr) {
                q->server_ok = true;
                if (info->default_sink_name != nullptr) q->default_sink = info->default_sink_name;
            }
            q->server_done = true;
            pa_threaded_mainloop_signal(q->loop, 0);
        },
        &query));
    Operation sinks_op(pa_context_get_sink_info_list(
        context_.get(),
        [](pa_context*, const pa_sink_info* info, int eol, void* data) {
            auto* q = static_cast<Query*>(data);
            if (eol != 0) {
                q->sinks_ok = eol > 0;
                q->sinks_done = true;
                pa_threaded_mainloop_signal(q->loop, 0);
                return;
            }
            SinkInfo sink;
            sink.index = info->index;
            sink.name = info->name != nullptr ? info->name : "";
            sink.description = info->description != nullptr ? info->description : "";
            sink.monitor_source_name =
                info->monitor_source_name != nullptr ? info->monitor_source_name : "";
            sink.rate = info->sample_spec.rate;
            sink.channels = info->sample_spec.channels;
            q->sinks.push_back(std::move(sink));
        },
        &query));
    if (!server_op || !sinks_op) return std::unexpected(context_error());

    pa_context* context = context_.get();
    const bool settled = wait_locked(
        [&] {
            return (query.server_done && query.sinks_done) ||
                   !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
        },
        limit);
    if (!settled) return std::unexpected(error_text(PA_ERR_TIMEOUT));
    if (!query.server_ok || !query.sinks_ok) return std::unexpected(context_error());

    // The default sink leads; the others keep the server's order.
    std::stable_partition(query.sinks.begin(), query.sinks.end(),
                          [&](const SinkInfo& s) { return s.name == query.default_sink; });
    return std::move(query.sinks);
}

// ---- PulseRecorder ----

PulseRecorder::PulseRecorder(Key) {}

PulseRecorder::~PulseRecorder() { stop(); }

std::expected<std::unique_ptr<PulseRecorder>, std::string> PulseRecorder::start(
    std::string_view source, RecordFormat format, FragmentHandler on_fragment,
    FailureHandler on_failure, std::chrono::milliseconds connect_limit,
    std::chrono::milliseconds start_limit) {
    auto recorder = std::make_unique<PulseRecorder>(Key{});
    recorder->format_ = format;
    recorder->on_fragment_ = std::move(on_fragment);
    recorder->on_failure_ = std::move(on_failure);

    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, format.rate,
                              static_cast<std::uint8_t>(std::min<std::uint32_t>(format.channels, 255))};
    if (!pa_sample_spec_valid(&spec) || format.channels > PA_CHANNELS_MAX) {
        return std::unexpected(error_text(PA_ERR_INVALID));
    }

    auto client = PulseClient::connect("velgo_marrinet_audio_helper", connect_limit);
    if (!client) return std::unexpected(client.error());
    recorder->client_ = std::move(*client);
    PulseClient& c = *recorder->client_;

    LoopLock lock(c.loop_.get());
    PulseRecorder* self = recorder.get();
    c.on_lost_ = [self] {
        self->fail(self->client_->context_error());
    };

    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    recorder->stream_.reset(pa_stream_new(c.context_.get(), "system audio", &spec, &map));
    if (!recorder->stream_) return std::unexpected(c.context_error());
    pa_stream* stream = recorder->stream_.get();
    pa_stream_set_state_callback(stream, &PulseRecorder::on_stream_state, self);
    pa_stream_set_read_callback(stream, &PulseRecorder::on_readable, self);

    // Monitors otherwise deliver in chunks of up to seconds, which makes stop slow
    // and the tail lossy: ask for short fragments explicitly.
    const auto fragment_usec = static_cast<pa_usec_t>(format.fragment.count());
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragment_usec, &spec));
    recorder->assembler_.emplace(
        spec.channels,
        pa_usec_to_bytes(static_cast<pa_usec_t>(format.delivery.count()), &spec) /
            pa_frame_size(&spec));

    // DONT_MOVE: if the sink goes away the stream fails instead of being moved to
    // another source, which might be a microphone.
    const std::string source_name(source);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source_name.c_str(), &attr, flags) < 0) {
        return std::unexpected(c.context_error());
    }
    const bool settled = c.wait_locked(
        [stream] {
            const auto state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        start_limit);
    if (!settled) return std::unexpected(error_text(PA_ERR_TIMEOUT));
    if (pa_stream_get_state(stream) != PA_STREAM_READY) {
        return std::unexpected(c.context_error());
    }
    recorder->recording_ = true;
    return recorder;
}

void PulseRecorder::stop() {
    if (!client_) return;
    {
        LoopLock lock(client_->loop_.get());
        if (recording_ && !failed_) {
            if (!data_seen_) fill_start_gap(std::chrono::microseconds{0});
            assembler_->flush(on_fragment_);
        }
        stopped_ = true;
        client_->on_lost_ = nullptr;
        if (stream_) {
            pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
            pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
            if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) {
                pa_stream_disconnect(stream_.get());
            }
            stream_.reset();
        }
    }
    // Joins the loop thread: after this nothing can call a handler.
    client_.reset();
}

void PulseRecorder::on_stream_state(pa_stream* stream, void* self) {
    auto* recorder = static_cast<PulseRecorder*>(self);
    const auto state = pa_stream_get_state(stream);
    // Data can follow READY before start() has looked again, so the clock starts here.
    if (state == PA_STREAM_READY && !recorder->ready_at_) {
        recorder->ready_at_ = std::chrono::steady_clock::now();
    }
    if (recorder->recording_ && !PA_STREAM_IS_GOOD(state)) {
        recorder->fail(recorder->client_->context_error());
    }
    pa_threaded_mainloop_signal(recorder->client_->loop_.get(), 0);
}

void PulseRecorder::on_readable(pa_stream*, std::size_t, void* self) {
    static_cast<PulseRecorder*>(self)->read_available();
}

void PulseRecorder::read_available() {
    pa_stream* stream = stream_.get();
    while (!stopped_ && !failed_) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0) {
            fail(client_->context_error());
            return;
        }
        if (bytes == 0) return;
        if (!data_seen_) fill_start_gap(format_.fragment);
        // Null data with a size is a hole: the same length of silence keeps time whole.
        assembler_->push(data, bytes, on_fragment_);
        pa_stream_drop(stream);
    }
}

// A sink renders ahead by its own latency (up to seconds when idle), and what it
// rendered before the stream existed never reaches the monitor: the first data can come
// that much after the start, or not before stop. That wait becomes silence, so the
// recording still covers the time since the start. `covered` is the part of the wait the
// data now arriving accounts for.
void PulseRecorder::fill_start_gap(std::chrono::microseconds covered) {
    data_seen_ = true;
    if (!ready_at_) return;
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - *ready_at_);
    // Up to one fragment beyond that is the ordinary delivery delay, not a gap.
    if (waited <= covered + format_.fragment) return;
    const auto frames =
        static_cast<std::size_t>((waited - covered).count()) * format_.rate / 1'000'000;
    assembler_->push(nullptr, frames * sizeof(float) * format_.channels, on_fragment_);
}

void PulseRecorder::fail(std::string text) {
    if (failed_ || stopped_) return;
    failed_ = true;
    // What was recorded before the failure still counts.
    if (recording_) assembler_->flush(on_fragment_);
    if (on_failure_) on_failure_(std::move(text));
}

}  // namespace platform::pulse

#if defined(__SANITIZE_THREAD__)
// libpulse (not instrumented) creates the mutex of each once-only static on first use
// and publishes it with its own atomics, which ThreadSanitizer cannot see. The first
// client of a process then shows a "race" on that mutex between the thread that
// started a main loop and the loop thread. Only races reported inside libpulse's own
// pa_mutex_lock are exempted; our code never touches a pa_mutex directly.
extern "C" const char* __tsan_default_suppressions() { return "race:pa_mutex_lock\n"; }
#endif
