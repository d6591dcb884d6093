#include "platform/backends/scripted/scripted_backend.h"

#include <algorithm>
#include <thread>

#include <utility>

namespace platform::scripted {
namespace {

template <class T>
void answer(const Reply<T>& reply, const T& value, unsigned times) {
    for (unsigned i = 0; i < times; ++i) reply(value);
}

}  // namespace

// What the platform owns for one scripted recording; the test keeps the record.
class ScriptedCaptureHandle final : public Capture {
public:
    ScriptedCaptureHandle(std::shared_ptr<ScriptedCapture> record,
                          std::shared_ptr<ScriptedBackend::StopScript> script)
        : record_(std::move(record)), script_(std::move(script)) {}
    ~ScriptedCaptureHandle() override { record_->mark_released(); }

    void stop(Reply<Outcome> stopped) override {
        // The answer is whatever the test scripted by the time the stop comes.
        const auto [outcome, times] = script_->get();
        if (!record_->note_stop(stopped, times)) return;  // held for the test
        answer(stopped, outcome, times);
    }

private:
    const std::shared_ptr<ScriptedCapture> record_;
    const std::shared_ptr<ScriptedBackend::StopScript> script_;
};

ScriptedCapture::ScriptedCapture(CaptureParams params, std::shared_ptr<CaptureSink> sink)
    : params_(std::move(params)), sink_(std::move(sink)) {}

void ScriptedCapture::push_audio(std::span<const float> interleaved, std::uint32_t channels,
                                 std::int64_t sample_rate) {
    const std::span<float> room = sink_->audio_room(interleaved.size(), channels, sample_rate);
    std::copy(interleaved.begin(), interleaved.end(), room.begin());
    sink_->audio(interleaved.size());
}

std::span<float> ScriptedCapture::audio_room(std::size_t samples, std::uint32_t channels,
                                             std::int64_t sample_rate) {
    return sink_->audio_room(samples, channels, sample_rate);
}

void ScriptedCapture::commit_audio(std::size_t samples) { sink_->audio(samples); }

void ScriptedCapture::fail(std::string description) { sink_->failed(std::move(description)); }

bool ScriptedCapture::start_held() const {
    std::lock_guard lock(mutex_);
    return held_start_.has_value();
}

void ScriptedCapture::answer_start(Outcome outcome, unsigned times) {
    answer_held(held_start_, outcome, times);
}

std::size_t ScriptedCapture::stop_requests() const {
    std::lock_guard lock(mutex_);
    return stop_requests_;
}

void ScriptedCapture::answer_stop(Outcome outcome, unsigned times) {
    answer_held(held_stop_, outcome, times);
}

void ScriptedCapture::answer_held(std::optional<Reply<Outcome>>& held, const Outcome& outcome,
                                  unsigned times) {
    std::optional<Reply<Outcome>> reply;
    {
        std::lock_guard lock(mutex_);
        reply = std::exchange(held, std::nullopt);
    }
    if (reply) answer(*reply, outcome, times);
}

bool ScriptedCapture::released() const {
    std::lock_guard lock(mutex_);
    return released_;
}

void ScriptedCapture::hold_start(Reply<Outcome> started) {
    std::lock_guard lock(mutex_);
    held_start_ = std::move(started);
}

bool ScriptedCapture::note_stop(const Reply<Outcome>& stopped, unsigned times) {
    std::lock_guard lock(mutex_);
    ++stop_requests_;
    if (times != 0) return true;
    held_stop_ = stopped;
    return false;
}

void ScriptedCapture::mark_released() {
    std::lock_guard lock(mutex_);
    released_ = true;
}

ScriptedBackend::ScriptedBackend()
    : content_(ContentDescription{{DisplayDescription{1, "scripted-display-1"}}, {}, {}}) {}

std::shared_ptr<ScriptedBackend> ScriptedBackend::install() {
    auto backend = std::make_shared<ScriptedBackend>();
    install_backend(backend);
    return backend;
}

void ScriptedBackend::set_content(ContentResult result, unsigned times) {
    std::lock_guard lock(mutex_);
    content_ = std::move(result);
    content_times_ = times;
}

void ScriptedBackend::set_displays(std::vector<DisplayDescription> displays) {
    std::lock_guard lock(mutex_);
    content_ = ContentDescription{std::move(displays), {}, {}};
}

std::size_t ScriptedBackend::content_requests() const {
    std::lock_guard lock(mutex_);
    return content_requests_;
}

std::size_t ScriptedBackend::held_content_requests() const {
    std::lock_guard lock(mutex_);
    return held_content_.size();
}

void ScriptedBackend::answer_content(ContentResult result, unsigned times) {
    std::vector<Reply<ContentResult>> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(held_content_);
    }
    for (const auto& reply : held) answer(reply, result, times);
}

void ScriptedBackend::drop_held_content() {
    std::vector<Reply<ContentResult>> held;
    std::lock_guard lock(mutex_);
    held.swap(held_content_);
}

void ScriptedBackend::set_start(Outcome outcome, unsigned times) {
    std::lock_guard lock(mutex_);
    start_ = {std::move(outcome), times};
}

void ScriptedBackend::set_stop(Outcome outcome, unsigned times) {
    stop_->set({std::move(outcome), times});
}

void ScriptedBackend::refuse_outputs(std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    output_refusal_ = std::move(reason);
}

std::vector<std::shared_ptr<ScriptedCapture>> ScriptedBackend::captures() const {
    std::lock_guard lock(mutex_);
    return captures_;
}

std::shared_ptr<ScriptedCapture> ScriptedBackend::last_capture() const {
    std::lock_guard lock(mutex_);
    return captures_.empty() ? nullptr : captures_.back();
}

void ScriptedBackend::get_content(Reply<ContentResult> reply) {
    ContentResult result;
    unsigned times = 0;
    {
        std::lock_guard lock(mutex_);
        ++content_requests_;
        if (content_times_ == 0) {
            held_content_.push_back(std::move(reply));
            return;
        }
        result = content_;
        times = content_times_;
    }
    answer(reply, result, times);
}

std::unique_ptr<Capture> ScriptedBackend::start_capture(const CaptureParams& params,
                                                        std::shared_ptr<CaptureSink> sink,
                                                        Reply<Outcome> started) {
    auto record = std::make_shared<ScriptedCapture>(params, std::move(sink));
    Answer start;
    std::chrono::milliseconds delay{0};
    {
        std::lock_guard lock(mutex_);
        start = start_;
        delay = start_return_delay_;
        // A held start is in place before a test can find the capture and answer it.
        if (start.times == 0) record->hold_start(std::move(started));
        captures_.push_back(record);
    }
    auto handle = std::make_unique<ScriptedCaptureHandle>(record, stop_);
    if (start.times != 0) answer(started, start.outcome, start.times);
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    return handle;
}

void ScriptedBackend::set_start_return_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    start_return_delay_ = delay;
}

Outcome ScriptedBackend::admit_output(SCStreamOutputType type) {
    (void)type;
    std::lock_guard lock(mutex_);
    if (output_refusal_) return std::unexpected(*output_refusal_);
    return {};
}

}  // namespace platform::scripted
