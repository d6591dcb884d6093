#include "platform/backends/pipewire/pipewire_recorder.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <spa/param/audio/format-utils.h>

namespace platform::pipewire {

PipewireRecorder::PipewireRecorder(Key, std::uint32_t rate, std::uint32_t channels)
    : rate_(rate),
      channels_(channels),
      ring_(static_cast<std::size_t>(rate) * RING_CHANNELS * sizeof(float) * RING_TIME.count() /
            1000),
      wake_frames_(static_cast<std::uint64_t>(DELIVERY.count()) * rate / 1000),
      scratch_(std::make_unique_for_overwrite<float[]>(ring_.capacity() / sizeof(float))) {}

std::expected<std::unique_ptr<PipewireRecorder>, BackendError> PipewireRecorder::start(
    std::unique_ptr<PipewireClient> client, std::string_view source, std::uint32_t rate,
    std::uint32_t channels, std::shared_ptr<CaptureSink> out) {
    auto recorder = std::make_unique<PipewireRecorder>(Key{}, rate, channels);
    PipewireRecorder* self = recorder.get();
    self->core_.emplace(audio::RecorderCore::Format{.rate = rate,
                                                    .channels = channels,
                                                    .first_data = FIRST_DATA,
                                                    .cycle = FIRST_DATA,
                                                    .delivery = DELIVERY},
                        std::move(out), [self] { self->drain(); });

    self->client_ = std::move(client);
    PipewireClient& c = *self->client_;

    pw_thread_loop_lock(c.loop());
    const auto outcome = [&]() -> std::expected<void, BackendError> {
        // Only a sink's monitor is recorded: a source that is none (a microphone) is not found.
        const auto sinks = c.sinks();
        const auto sink = std::find_if(sinks.begin(), sinks.end(), [&](const SinkInfo& s) {
            return s.name + ".monitor" == source;
        });
        if (sink == sinks.end()) return std::unexpected(library_error(-ENOENT));
        // Recording the default sink means recording what the user hears: follow the default.
        self->following_ = sink->is_default;
        pw_loop* loop = pw_thread_loop_get_loop(c.loop());
        self->recheck_ = pw_loop_add_event(
            loop,
            [](void* data, std::uint64_t) { static_cast<PipewireRecorder*>(data)->reconsider(); },
            self);
        self->arrived_ = pw_loop_add_event(
            loop, [](void* data, std::uint64_t) { static_cast<PipewireRecorder*>(data)->drain(); },
            self);
        if (auto opened = self->open_stream(*sink); !opened) return opened;
        const bool settled = c.wait_locked(
            [self] { return self->streaming_ || self->stream_ended_ || self->client_->lost(); },
            START_LIMIT);
        if (c.lost()) return std::unexpected(library_error(-EPIPE));
        if (!settled) return std::unexpected(library_error(-ETIMEDOUT));
        if (!self->streaming_) return std::unexpected(library_error(-ENOENT));
        c.on_change([self] { self->reconsider(); });
        c.on_lost([self] { self->fail(library_error(-EPIPE)); });
        c.on_playing([self] { self->follow_playing(); });
        self->recording_ = true;
        self->follow_playing();
        return {};
    }();
    pw_thread_loop_unlock(c.loop());
    if (!outcome) return std::unexpected(outcome.error());
    return recorder;
}

std::expected<void, BackendError> PipewireRecorder::open_stream(const SinkInfo& sink) {
    // Asked for stereo, record a surround or mono sink in its own layout and mix here.
    auto to_stereo = channels_ == 2 && sink.layout.channels() > 0
                         ? audio::ChannelMixer::to_stereo(sink.layout)
                         : std::nullopt;
    using enum audio::ChannelPosition;
    const audio::ChannelLayout layout = to_stereo        ? sink.layout
                                        : channels_ == 1 ? audio::ChannelLayout{Mono}
                                        : channels_ == 2
                                            ? audio::ChannelLayout{FrontLeft, FrontRight}
                                            : audio::ChannelLayout{};
    spa_audio_info_raw info{.format = SPA_AUDIO_FORMAT_F32,
                            .flags = layout.channels() > 0 ? 0u : SPA_AUDIO_FLAG_UNPOSITIONED,
                            .rate = rate_,
                            .channels = layout.channels() > 0
                                            ? static_cast<std::uint32_t>(layout.channels())
                                            : channels_};
    for (std::size_t i = 0; i < layout.channels(); ++i)
        info.position[i] = spa_position(layout.positions()[i]);

    // No node.latency: the stream takes the quantum the graph has. Recording the default, the
    // stream names no target: the session manager links it to the default sink's monitor and
    // relinks it when the default changes or that sink goes, which loses less of a switch than
    // a new stream of ours would. Recording another sink, it names that one and asks not to be
    // moved when it goes: a stream moved elsewhere could record a source nobody chose. Linked
    // for a while to a sink of fewer channels than it was opened with (moved along, until it
    // is opened again in the new layout), the stream takes the missing channels as silence
    // rather than made up by PipeWire, which would raise the level.
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_APP_NAME,
        "velgo_marrinet_audio_helper", PW_KEY_NODE_NAME, "velgo_marrinet_audio_helper",
        PW_KEY_STREAM_CAPTURE_SINK, "true", "channelmix.upmix", "false", nullptr);
    if (!following_) {
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, sink.name.c_str());
        pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
    }
    auto feed = std::make_unique<Feed>();
    feed->owner = this;
    feed->frame_bytes = static_cast<std::uint32_t>(sizeof(float) * info.channels);
    feed->stream = pw_stream_new(client_->core(), "system audio", props);
    if (feed->stream == nullptr) return std::unexpected(library_error(-EPIPE));
    // The ring holds nothing of an earlier stream (close_stream placed it): what comes next is
    // in this one's layout.
    core_->use_mixer(std::move(to_stereo));
    if (auto* mixer = core_->mixer()) mixer->front_only(front_only_);
    static const pw_stream_events STREAM_EVENTS = {
        .version = PW_VERSION_STREAM_EVENTS,
        .state_changed =
            [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
                const auto* opened = static_cast<const Feed*>(data);
                if (!opened->closing) opened->owner->on_state(state, error);
            },
        .process = [](void* data) { process(*static_cast<Feed*>(data)); },
    };
    pw_stream_add_listener(feed->stream, &feed->listener, &STREAM_EVENTS, feed.get());

    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    sink_ = sink;
    streaming_ = false;
    stream_ended_ = false;
    feed_ = std::move(feed);
    // The buffers come on the data thread, at the priority the context gave it.
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(feed_->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
        close_stream();
        return std::unexpected(library_error(-ENOENT));
    }
    return {};
}

void PipewireRecorder::close_stream() {
    if (!feed_) return;
    // The stream goes in its library's order: disconnected (its last state change, to
    // unconnected, is ours and not news), out of the data thread for good, and only then rid
    // of its listeners. A listener removed before, while the data thread may be calling it,
    // would change the list that call walks.
    feed_->closing = true;
    pw_stream_destroy(feed_->stream);
    feed_.reset();
    streaming_ = false;
    drain();
}

void PipewireRecorder::on_state(pw_stream_state state, const char*) {
    pw_thread_loop_signal(client_->loop(), false);
    if (stopped_ || failed_) return;
    // Time counts from the moment the server has the stream, before the session manager has
    // linked it: what the link takes is part of the recording, as silence.
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
        core_->start(Clock::now());
    if (state == PW_STREAM_STATE_STREAMING) {
        streaming_ = true;
        return;
    }
    // Unlinked or paused: what came before is placed, then data goes missing.
    if (streaming_) {
        drain();
        core_->note_gap();
    }
    streaming_ = false;
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        stream_ended_ = true;
        // Not from inside the stream's own callback, which may not destroy it.
        if (recording_) pw_loop_signal_event(pw_thread_loop_get_loop(client_->loop()), recheck_);
    }
}

void PipewireRecorder::reconsider() {
    if (stopped_ || failed_ || !recording_) return;
    // Only sinks whose layout the server has told are listed: a layout is never guessed.
    const auto sinks = client_->sinks();
    const bool ours_left = std::any_of(sinks.begin(), sinks.end(),
                                       [&](const SinkInfo& s) { return s.id == sink_.id; });
    if (!following_) {
        if (!ours_left || stream_ended_) fail(library_error(-ENOENT));
        return;
    }
    if (sinks.empty()) {
        fail(library_error(-ENOENT));
        return;
    }
    // The session manager moves a live stream along with the default; one that ended is
    // opened again on the default, which leads the list. So is one whose new default has
    // another channel layout: moved, it would keep the old layout, and PipeWire would convert
    // the new sink's channels into it (a stereo output came out 3 dB louder in a stream
    // opened on 5.1 or mono).
    const SinkInfo& next = sinks.front();
    if (feed_ && !stream_ended_ && (next.layout == sink_.layout || !next.is_default)) return;
    close_stream();
    core_->note_gap();
    if (auto opened = open_stream(next); !opened) fail(opened.error());
}

void PipewireRecorder::follow_playing() {
    if (stopped_ || failed_ || !recording_ || !feed_) return;
    // A stream not linked yet keeps what was told: its sink's streams are read once it is.
    const auto stereo = client_->plays_at_most_stereo(pw_stream_get_node_id(feed_->stream));
    if (!stereo || *stereo == front_only_) return;
    front_only_ = *stereo;
    if (auto* mixer = core_->mixer()) mixer->front_only(front_only_);
}

// The data thread, at real-time priority where the system gives it: no lock, no allocation,
// nothing that may block.
void PipewireRecorder::process(Feed& feed) {
    mark_realtime_thread();
    PipewireRecorder& self = *feed.owner;
    pw_buffer* buffer = pw_stream_dequeue_buffer(feed.stream);
    if (buffer == nullptr) return;
    const spa_data& data = buffer->buffer->datas[0];
    // The first cycle after a stream is linked hands it a buffer flagged empty, a whole
    // quantum (up to 43 ms) of zeros, before anything has come through the link. Taken as
    // sound, it would put all that follows a quantum late; left out, the sink's sound is placed
    // by its arrival like any other, and the timeline owes silence for the start only as far
    // as it lags.
    const bool empty_before_link =
        !feed.delivered && data.chunk != nullptr && (data.chunk->flags & SPA_CHUNK_FLAG_EMPTY) != 0;
    if (data.chunk != nullptr) feed.delivered = true;
    if (data.chunk != nullptr && !empty_before_link) {
        const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
        const std::uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
        BufferHeader header;
        header.arrival_ns = std::chrono::nanoseconds(Clock::now().time_since_epoch()).count();
        pw_time time{};
        if (pw_stream_get_time_n(feed.stream, &time, sizeof time) == 0) header.cycle_ns = time.now;
        header.frame_bytes = feed.frame_bytes;
        header.bytes = size / feed.frame_bytes * feed.frame_bytes;
        const bool hole =
            data.data == nullptr || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0;
        header.hole = hole ? 1 : 0;
        const auto samples =
            hole ? std::span<const std::byte>{}
                 : std::as_bytes(std::span{static_cast<const std::uint8_t*>(data.data) + offset,
                                           header.bytes});
        feed.frames_unannounced += self.ring_.push(header, samples);
    }
    pw_stream_queue_buffer(feed.stream, buffer);
    // Fragments are handed over whole: signalling the loop once one is there is enough.
    if (feed.frames_unannounced >= self.wake_frames_ ||
        self.wake_each_.load(std::memory_order_acquire)) {
        feed.frames_unannounced = 0;
        pw_loop_signal_event(pw_thread_loop_get_loop(self.client_->loop()), self.arrived_);
    }
}

void PipewireRecorder::drain() {
    BufferHeader header;
    std::span<const std::byte> samples;
    const std::span<std::byte> scratch{reinterpret_cast<std::byte*>(scratch_.get()),
                                       ring_.capacity()};
    while (ring_.pop(header, samples, scratch)) {
        place(header, reinterpret_cast<const float*>(samples.data()));
    }
}

void PipewireRecorder::place(const BufferHeader& header, const float* samples) {
    const std::size_t frames = header.bytes / header.frame_bytes;
    if (frames > 0) core_->cycle_is(std::chrono::microseconds(frames * 1'000'000 / rate_));
    core_->place(cycle_time(header), header.hole != 0 ? nullptr : samples, header.bytes, frames);
    core_->tail_came(Clock::time_point{std::chrono::nanoseconds(header.arrival_ns)});
}

// Data is placed at the start of the graph's cycle that brought it, on the steady clock, not
// at the moment this thread got to run: the same, less the wait for the CPU. A report that is
// stale (older than a few cycles, or before data already placed) places it on arrival.
PipewireRecorder::Clock::time_point PipewireRecorder::cycle_time(const BufferHeader& header) {
    const Clock::time_point now{std::chrono::nanoseconds(header.arrival_ns)};
    auto at = now;
    if (header.cycle_ns > 0) {
        const Clock::time_point cycle{std::chrono::nanoseconds(header.cycle_ns)};
        if (cycle <= now && now - cycle < MAX_CYCLE_AGE && cycle >= last_cycle_) at = cycle;
    }
    last_cycle_ = at;
    return at;
}

void PipewireRecorder::stop() {
    if (!client_) return;
    pw_thread_loop_lock(client_->loop());
    const bool record_end = recording_ && !failed_ && !stopped_;
    const bool streaming = streaming_;
    stopped_ = true;
    client_->on_change(nullptr);
    client_->on_lost(nullptr);
    client_->on_playing(nullptr);
    pw_thread_loop_unlock(client_->loop());
    if (record_end) {
        // The tail comes a buffer at a time: the loop is signalled for each.
        if (streaming) wake_each_.store(true, std::memory_order_release);
        core_->finish(streaming, [this](const std::function<void()>& step) {
            pw_thread_loop_lock(client_->loop());
            step();
            pw_thread_loop_unlock(client_->loop());
        });
    }
    pw_thread_loop_lock(client_->loop());
    close_stream();
    for (spa_source** source : {&recheck_, &arrived_}) {
        if (*source != nullptr)
            pw_loop_destroy_source(pw_thread_loop_get_loop(client_->loop()), *source);
        *source = nullptr;
    }
    pw_thread_loop_unlock(client_->loop());
    // Joins the loop and data threads: after this no handler runs.
    client_.reset();
}

void PipewireRecorder::fail(BackendError error) {
    if (failed_ || stopped_) return;
    failed_ = true;
    close_stream();
    core_->fail(std::move(error), recording_);
}

}  // namespace platform::pipewire
