#include "platform/backends/pulse/pulse_recorder.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/backends/pulse/pulse_api.h"

namespace platform::pulse {

using detail::LoopLock;

namespace {

// The fragment a new stream asks for until its first data comes.
constexpr std::chrono::microseconds FIRST_FRAGMENT = std::chrono::milliseconds(10);

}  // namespace

PulseRecorder::PulseRecorder(Key) {}

PulseRecorder::~PulseRecorder() { stop(); }

std::expected<std::unique_ptr<PulseRecorder>, BackendError> PulseRecorder::start(
    std::string_view source, RecordFormat format, std::shared_ptr<CaptureSink> out) {
    auto recorder = std::make_unique<PulseRecorder>(Key{});
    PulseRecorder* self = recorder.get();
    self->format_ = format;
    // The usual delay of the first data is the first fragment's.
    self->core_.emplace(
        audio::RecorderCore::Format{.rate = format.rate,
                                    .channels = format.channels,
                                    .first_data = std::min(format.fragment, FIRST_FRAGMENT),
                                    .cycle = format.fragment,
                                    .delivery = format.delivery},
        std::move(out));

    auto client = PulseClient::connect();
    if (!client) return std::unexpected(client.error());
    self->client_ = std::move(*client);
    PulseClient& c = *self->client_;

    // Only a sink's monitor is recorded: a source that is none (a microphone) is not found.
    auto sinks = c.list_sinks(START_LIMIT);
    if (!sinks) return std::unexpected(sinks.error());
    const auto sink = std::find_if(sinks->begin(), sinks->end(), [&](const SinkInfo& s) {
        return !s.monitor_source_name.empty() && s.monitor_source_name == source;
    });
    if (sink == sinks->end()) return std::unexpected(library_error(PA_ERR_NOENTITY));
    // Recording the default sink means recording what the user hears: follow the default.
    self->following_ = sink->is_default;

    LoopLock lock(c.loop());
    c.on_lost([self] { self->fail(self->client_->context_error()); });
    self->positions_.emplace(format.rate);
    if (auto opened = self->open_stream(*sink); !opened) return std::unexpected(opened.error());
    const bool settled = c.wait_locked(
        [self] {
            return self->stream_ == nullptr ||
                   pa_stream_get_state(self->stream_.get()) == PA_STREAM_READY;
        },
        START_LIMIT);
    if (!settled) return std::unexpected(library_error(PA_ERR_TIMEOUT));
    if (self->stream_ == nullptr) return std::unexpected(self->stream_error_);

    if (self->following_) {
        pa_context_set_subscribe_callback(
            c.context(),
            [](pa_context*, pa_subscription_event_type_t event, std::uint32_t index, void* data) {
                auto* r = static_cast<PulseRecorder*>(data);
                const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
                const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
                // A new default, or the recorded sink gone: look again for the default.
                if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
                    (facility == PA_SUBSCRIPTION_EVENT_SINK &&
                     type == PA_SUBSCRIPTION_EVENT_REMOVE && index == r->sink_.index)) {
                    r->follow_default();
                }
            },
            self);
        self->subscribe_op_.reset(
            pa_context_subscribe(c.context(),
                                 static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                                     PA_SUBSCRIPTION_MASK_SINK),
                                 nullptr, nullptr));
    }
    self->recording_ = true;
    return recorder;
}

std::expected<void, BackendError> PulseRecorder::open_stream(const SinkInfo& sink) {
    // Asked for stereo, record a surround or mono sink in its own layout and mix here.
    std::optional<ChannelMixer> mixer;
    if (format_.channels == 2 && pa_channel_map_valid(&sink.channel_map)) {
        mixer = ChannelMixer::to_stereo(layout_of(sink.channel_map));
    }
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, format_.rate,
                        static_cast<std::uint8_t>(format_.channels)};
    pa_channel_map map;
    if (mixer) {
        spec.channels = sink.channel_map.channels;
        map = sink.channel_map;
    } else {
        pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    }

    stream_.reset(pa_stream_new(client_->context(), "system audio", &spec, &map));
    if (!stream_) return std::unexpected(client_->context_error());
    pa_stream* stream = stream_.get();
    pa_stream_set_state_callback(
        stream,
        [](pa_stream*, void* self) { static_cast<PulseRecorder*>(self)->on_stream_state(); }, this);
    pa_stream_set_read_callback(
        stream,
        [](pa_stream*, std::size_t, void* self) {
            static_cast<PulseRecorder*>(self)->read_available();
        },
        this);
    // The server says when data goes missing: a suspended sink, an overflow after a stall.
    const auto missing = [](pa_stream*, void* self) {
        auto* recorder = static_cast<PulseRecorder*>(self);
        recorder->core_->note_gap();
        recorder->positions_->note_gap();
    };
    pa_stream_set_suspended_callback(stream, missing, this);
    pa_stream_set_overflow_callback(stream, missing, this);

    // Monitors otherwise deliver in chunks of up to seconds, which makes stop slow
    // and the tail lossy: ask for short fragments explicitly.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    // Short until the first data is there, so that a start or a move to another sink
    // waits for one short fragment, not a long one; then as the format says.
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(
        static_cast<pa_usec_t>(std::min(format_.fragment, FIRST_FRAGMENT).count()), &spec));
    // DONT_MOVE: the server would move the stream of a vanished sink to its fallback
    // source, which might be a microphone; following the default is ours to do.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, sink.monitor_source_name.c_str(), &attr, flags) < 0) {
        stream_.reset();
        return std::unexpected(client_->context_error());
    }
    sink_ = sink;
    positions_->reset();
    read_index_ = 0;
    lengthen_ = format_.fragment > FIRST_FRAGMENT;
    core_->use_mixer(std::move(mixer));
    in_frame_bytes_ = pa_frame_size(&spec);
    return {};
}

void PulseRecorder::close_stream() {
    if (!stream_) return;
    pa_stream* stream = stream_.get();
    position_op_.reset();
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    stream_.reset();
}

void PulseRecorder::on_stream_state() {
    pa_threaded_mainloop_signal(client_->loop(), 0);
    if (stopped_ || failed_) return;
    const auto state = pa_stream_get_state(stream_.get());
    if (state == PA_STREAM_READY) {
        // Data can follow READY before start() has looked again, so time counts from here.
        core_->start(Clock::now());
        return;
    }
    if (PA_STREAM_IS_GOOD(state)) return;
    stream_error_ = client_->context_error();
    close_stream();
    if (!recording_) return;  // start() answers with the error
    // No tail comes from a stream that ended.
    core_->tail_came(Clock::time_point::max());
    if (following_) {
        // The sink went away: go on from the default, if one is left.
        core_->note_gap();
        follow_default();
    } else {
        fail(stream_error_);
    }
}

void PulseRecorder::lengthen_fragments() {
    lengthen_ = false;
    pa_buffer_attr attr = *pa_stream_get_buffer_attr(stream_.get());
    attr.fragsize = static_cast<std::uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(format_.fragment.count()),
                         pa_stream_get_sample_spec(stream_.get())));
    // No answer is awaited: the server applies it, or the stream goes on as it was.
    detail::Operation(pa_stream_set_buffer_attr(stream_.get(), &attr, nullptr, nullptr));
}

void PulseRecorder::follow_default() {
    if (stopped_ || failed_) return;
    query_.reset();
    query_ = std::make_unique<SinkQuery>(*client_,
                                         [this](SinkList sinks) { on_sinks(std::move(sinks)); });
}

void PulseRecorder::on_sinks(SinkList sinks) {
    if (stopped_ || failed_) return;
    if (!sinks) {
        fail(sinks.error());
        return;
    }
    // The default leads the list; without one, any sink is better than none.
    if (sinks->empty()) {
        fail(stream_error_.text.empty() ? library_error(PA_ERR_NOENTITY) : stream_error_);
        return;
    }
    const SinkInfo& next = sinks->front();
    if (stream_ && next.name == sink_.name) return;
    close_stream();
    core_->note_gap();
    if (auto opened = open_stream(next); !opened) fail(opened.error());
}

// Each fragment is placed where the server recorded it (WritePositions), not by when it is
// read: a recorder that stood still finds what the server kept for it (the first part of the
// pause, as much as it holds), then what it recorded once there was room again, and the
// frames dropped between them become silence there, however slowly all this is read. A
// fragment the latest report does not place waits for the next.
void PulseRecorder::read_available() {
    if (stopped_ || failed_ || !stream_) return;
    pa_stream* stream = stream_.get();
    // After the stop only what was heard before it counts. A recorder that stood still
    // (SIGSTOP) while it waited for the tail finds all the server kept meanwhile.
    std::size_t due = core_->due_after_stop(in_frame_bytes_);
    bool past_stop = false;
    while (!stopped_ && !failed_) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0) {
            fail(client_->context_error());
            return;
        }
        if (bytes == 0) break;
        const auto frames = static_cast<std::int64_t>(bytes / in_frame_bytes_);
        // Not placed yet: wait for a report, which reads on. Until then what came is not all
        // in, unless data beyond what was heard before the stop came already.
        if (!positions_->places(read_index_ + frames, Clock::now())) {
            ask_position();
            if (!past_stop) return;
            break;
        }
        if (lengthen_) lengthen_fragments();
        if (bytes > due) past_stop = true;
        const std::size_t taken = std::min(bytes, due) / in_frame_bytes_ * in_frame_bytes_;
        due -= taken;
        read_index_ += frames;
        if (taken > 0) {
            core_->place(positions_->recorded_at(read_index_), data, taken,
                         taken / in_frame_bytes_);
        }
        pa_stream_drop(stream);
    }
    // Data beyond what was heard before the stop is the tail too.
    core_->tail_came(past_stop ? Clock::time_point::max() : Clock::now());
}

void PulseRecorder::ask_position() {
    if (position_op_) return;
    position_op_.reset(pa_stream_update_timing_info(
        stream_.get(),
        [](pa_stream*, int success, void* self) {
            auto* recorder = static_cast<PulseRecorder*>(self);
            recorder->position_op_.reset();
            if (success != 0) recorder->on_position();
            recorder->read_available();
        },
        this));
}

void PulseRecorder::on_position() {
    const pa_timing_info* info = pa_stream_get_timing_info(stream_.get());
    if (info == nullptr || info->write_index_corrupt != 0) return;
    // The report's moment is on the system clock; placing is on the steady one.
    const auto taken =
        std::chrono::system_clock::time_point(std::chrono::seconds(info->timestamp.tv_sec) +
                                              std::chrono::microseconds(info->timestamp.tv_usec));
    const auto age =
        std::chrono::duration_cast<Clock::duration>(std::chrono::system_clock::now() - taken);
    positions_->report(info->write_index / static_cast<std::int64_t>(in_frame_bytes_),
                       Clock::now() - std::max(age, Clock::duration{}));
}

void PulseRecorder::stop() {
    if (!client_) return;
    bool record_end = false;
    bool ready = false;
    {
        LoopLock lock(client_->loop());
        record_end = recording_ && !failed_ && !stopped_;
        ready = stream_ && pa_stream_get_state(stream_.get()) == PA_STREAM_READY;
    }
    // The loop goes on reading while the stop waits for the tail.
    if (record_end) {
        core_->finish(ready, [this](const std::function<void()>& step) {
            LoopLock lock(client_->loop());
            step();
        });
    }
    {
        LoopLock lock(client_->loop());
        stopped_ = true;
        client_->on_lost(nullptr);
        query_.reset();
        subscribe_op_.reset();
        pa_context_set_subscribe_callback(client_->context(), nullptr, nullptr);
        close_stream();
    }
    // Joins the loop thread: after this nothing can call a handler.
    client_.reset();
}

void PulseRecorder::fail(BackendError failure) {
    if (failed_ || stopped_) return;
    failed_ = true;
    core_->fail(std::move(failure), recording_);
}

}  // namespace platform::pulse
