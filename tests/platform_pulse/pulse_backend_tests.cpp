// The sound-server backend through the capture platform's own API, each test against a
// private PulseAudio daemon.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <pulse/def.h>
#include <pulse/error.h>

#include "platform/platform.h"
#include "platform/pulse/pulse_backend.h"
#include "platform/sound_server/sound_server_backend.h"
#include "tests/support/pulse_daemon.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::Ref;
using test_support::PulseDaemon;

constexpr auto PATIENCE = 10s;
constexpr std::int64_t RATE = 48000;
constexpr std::uint32_t CHANNELS = 2;
// The backend's fragment: 40 ms.
constexpr std::size_t FRAGMENT_FRAMES = RATE / 25;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = PATIENCE) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A value handed over once from a platform thread. Shared with the handler, so an
// answer that comes after the test gave up writes into live memory; notified under the
// lock, so the waiter cannot return and destroy it mid-notification.
template <class T>
class Answer {
public:
    void set(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
        changed_.notify_all();
    }
    std::optional<T> wait() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, PATIENCE, [&] { return value_.has_value(); });
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<T> value_;
};

struct ErrorInfo {
    std::string domain;
    std::int64_t code = 0;
    std::string description;
};

std::optional<ErrorInfo> info(platform::NSError* error) {
    if (error == nullptr) return std::nullopt;
    return ErrorInfo{error->domain(), error->code(), error->localizedDescription()};
}

struct Delivery {
    Clock::time_point at;
    std::size_t frames = 0;
    std::int64_t rate = 0;
    std::uint32_t channels = 0;
};

// Reads every audio sample buffer the way a client of the platform does.
class Collector final : public platform::SCStreamOutput {
public:
    void stream_didOutputSampleBuffer_ofType(platform::SCStream*, platform::CMSampleBuffer* buffer,
                                             platform::SCStreamOutputType type) override {
        if (type != platform::SCStreamOutputType::Audio) return;
        std::size_t needed = 0;
        platform::CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
            buffer, &needed, nullptr, 0, nullptr, nullptr, 0, nullptr);
        std::vector<std::max_align_t> storage(needed / sizeof(std::max_align_t) + 1);
        auto* list = reinterpret_cast<platform::AudioBufferList*>(storage.data());
        platform::CMBlockBuffer* block = nullptr;
        const auto status = platform::CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
            buffer, nullptr, list, needed, nullptr, nullptr, 0, &block);
        const auto keep = Ref<platform::CMBlockBuffer>::adopt(block);

        std::lock_guard lock(mutex_);
        if (status != platform::noErr || list->number_buffers != 1) {
            ++malformed_;
            return;
        }
        const auto& audio = list->buffers()[0];
        const auto* samples = static_cast<const float*>(audio.data);
        const std::size_t count = audio.data_byte_size / sizeof(float);
        samples_.insert(samples_.end(), samples, samples + count);
        deliveries_.push_back({Clock::now(),
                               count / std::max<std::uint32_t>(1, audio.number_channels),
                               buffer->sampleRate(), audio.number_channels});
    }

    std::vector<Delivery> deliveries() const {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }
    std::vector<float> samples() const {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return deliveries_.size();
    }
    std::size_t frames() const {
        std::lock_guard lock(mutex_);
        return samples_.size() / CHANNELS;
    }
    std::size_t malformed() const {
        std::lock_guard lock(mutex_);
        return malformed_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::vector<Delivery> deliveries_;
    std::size_t malformed_ = 0;
};

class StopWatcher final : public platform::SCStreamDelegate {
public:
    void stream_didStopWithError(platform::SCStream*, platform::NSError* error) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(*info(error));
    }
    std::vector<ErrorInfo> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<ErrorInfo> errors_;
};

struct ContentAnswer {
    Ref<platform::SCShareableContent> content;
    std::optional<ErrorInfo> error;
    double seconds = 0;
};

ContentAnswer request_content() {
    auto answer = std::make_shared<Answer<ContentAnswer>>();
    const auto start = Clock::now();
    platform::SCShareableContent::getShareableContentExcludingDesktopWindows(
        false, false,
        [answer, start](platform::SCShareableContent* content, platform::NSError* error) {
            answer->set({Ref<platform::SCShareableContent>::retain(content), info(error),
                         seconds_since(start)});
        });
    auto result = answer->wait();
    EXPECT_TRUE(result.has_value()) << "the content request never completed";
    return result.value_or(ContentAnswer{});
}

// One audio-only stream on one display, as the helper sets it up.
struct Capture {
    Ref<platform::SCContentFilter> filter;
    Ref<platform::SCStream> stream;
    Ref<Collector> collector = platform::make<Collector>();
    Ref<StopWatcher> watcher = platform::make<StopWatcher>();

    explicit Capture(platform::SCDisplay* display) {
        filter = platform::SCContentFilter::initWithDisplayExcludingWindows(display, {});
        auto configuration = platform::SCStreamConfiguration::init();
        configuration->setCapturesAudio(true);
        configuration->setSampleRate(RATE);
        configuration->setChannelCount(CHANNELS);
        configuration->setExcludesCurrentProcessAudio(false);
        stream =
            platform::SCStream::initWithFilter(filter.get(), configuration.get(), watcher.get());
        Ref<platform::NSError> error;
        EXPECT_TRUE(stream->addStreamOutput(collector.get(), platform::SCStreamOutputType::Audio,
                                            nullptr, &error));
    }

    // The completion's error, or none on success.
    std::optional<ErrorInfo> start() {
        return completion("start", [&](auto handler) {
            stream->startCaptureWithCompletionHandler(std::move(handler));
        });
    }

    std::optional<ErrorInfo> stop() {
        return completion("stop", [&](auto handler) {
            stream->stopCaptureWithCompletionHandler(std::move(handler));
        });
    }

    // Hands `call` a completion handler and waits for its answer.
    template <class Call>
    static std::optional<ErrorInfo> completion(const char* what, Call call) {
        auto answer = std::make_shared<Answer<std::optional<ErrorInfo>>>();
        call([answer](platform::NSError* error) { answer->set(info(error)); });
        auto result = answer->wait();
        EXPECT_TRUE(result.has_value()) << what << " never completed";
        return result.value_or(ErrorInfo{"", 0, "no answer"});
    }

    // Waits until the stream has stopped by itself and anything late has had time to come;
    // `errors` is then all the delegate heard: one error, the system's stop. Call under
    // ASSERT_NO_FATAL_FAILURE.
    void wait_for_its_own_stop(std::vector<ErrorInfo>& errors) const {
        ASSERT_TRUE(eventually([&] { return !watcher->errors().empty(); }));
        platform::wait_idle();
        std::this_thread::sleep_for(300ms);
        errors = watcher->errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].code, -3821);
    }
};

struct ToneMeasure {
    double frequency = 0;
    double rms = 0;
};

// Frequency (from interpolated upward zero crossings) and RMS of one channel.
ToneMeasure measure(const std::vector<float>& interleaved, std::size_t channel, std::size_t first,
                    std::size_t frames) {
    double energy = 0;
    std::optional<double> first_crossing;
    double last_crossing = 0;
    std::size_t crossings = 0;
    for (std::size_t i = first; i < first + frames; ++i) {
        const double v = interleaved[i * CHANNELS + channel];
        energy += v * v;
        if (i == first) continue;
        const double prev = interleaved[(i - 1) * CHANNELS + channel];
        if (prev < 0 && v >= 0) {
            const double at = static_cast<double>(i - 1) + prev / (prev - v);
            if (!first_crossing) {
                first_crossing = at;
            } else {
                ++crossings;
            }
            last_crossing = at;
        }
    }
    ToneMeasure m;
    m.rms = std::sqrt(energy / static_cast<double>(frames));
    if (first_crossing && crossings > 0) {
        m.frequency = static_cast<double>(crossings) * RATE / (last_crossing - *first_crossing);
    }
    return m;
}

// Index of the first frame of the first 10 ms block whose level is above threshold.
std::optional<std::size_t> first_loud_frame(const std::vector<float>& interleaved,
                                            double threshold) {
    const std::size_t block = RATE / 100;
    for (std::size_t start = 0; (start + block) * CHANNELS <= interleaved.size(); start += block) {
        double energy = 0;
        for (std::size_t i = start * CHANNELS; i < (start + block) * CHANNELS; ++i) {
            energy += double(interleaved[i]) * interleaved[i];
        }
        if (std::sqrt(energy / (block * CHANNELS)) > threshold) return start;
    }
    return std::nullopt;
}

class PulseBackendTest : public ::testing::Test {
protected:
    // The backend the helper installs, which picks PipeWire's own protocol on PipeWire;
    // VMAH_TEST_BACKEND=pulse holds it to the PulseAudio protocol (pipewire-pulse there).
    void SetUp() override {
        const char* chosen = std::getenv("VMAH_TEST_BACKEND");
        if (chosen != nullptr && std::string_view(chosen) == "pulse") {
            platform::install_pulse_backend();
        } else {
            platform::install_sound_server_backend();
        }
    }

    void TearDown() override {
        // What the test body set up goes first, as its own locals would have.
        capture_.reset();
        content_ = {};
        platform::install_backend(nullptr);
        platform::wait_idle();
        for (std::size_t k = 0; k < static_cast<std::size_t>(platform::Kind::Count); ++k) {
            const auto kind = static_cast<platform::Kind>(k);
            EXPECT_EQ(platform::live_objects(kind), 0u)
                << "live " << platform::kind_name(kind) << " objects";
        }
        platform::shutdown();
        daemon_.reset();
    }

    void start_daemon(test_support::PulseDaemonOptions options = {}) {
        auto daemon = PulseDaemon::start(options);
        ASSERT_TRUE(daemon.has_value()) << daemon.error();
        daemon_ = std::move(*daemon);
        daemon_->export_environment();
    }

    // A server as set up by default and a null sink "second" loaded by hand; `loaded` is what
    // loading it printed, the module's index on its first line.
    void start_daemon_with_second_sink(std::string& loaded) {
        ASSERT_NO_FATAL_FAILURE(start_daemon());
        auto answer =
            daemon_->pactl({"load-module", "module-null-sink", "sink_name=second", "rate=48000"});
        ASSERT_TRUE(answer.has_value()) << answer.error();
        loaded = *answer;
    }

    // Asks the server for its content, which must come.
    void request_running_content() {
        content_ = request_content();
        ASSERT_TRUE(content_.content) << content_.error->description;
    }

    // A capture, not started, of the first display of the content asked for last.
    Capture& capture_first_display() {
        return capture_.emplace(content_.content->displays()[0].get());
    }

    // The opening several tests share: a server as set up by default, its content, and a
    // capture of its first display that has started; `started` is the moment just before
    // the start was asked for.
    void start_daemon_and_capture(Clock::time_point& started) {
        ASSERT_NO_FATAL_FAILURE(start_daemon());
        ASSERT_NO_FATAL_FAILURE(request_running_content());
        capture_first_display();
        started = Clock::now();
        ASSERT_EQ(capture_->start(), std::nullopt);
    }
    void start_daemon_and_capture() {
        Clock::time_point started;
        start_daemon_and_capture(started);
    }

    std::unique_ptr<PulseDaemon> daemon_;
    ContentAnswer content_;
    std::optional<Capture> capture_;
};

TEST_F(PulseBackendTest, CapturesToneAtItsFrequencyLevelAndChannel) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    ASSERT_EQ(content_.content->displays().size(), 1u);
    EXPECT_EQ(content_.content->displays()[0]->source(), "testsink.monitor");

    Capture& capture = capture_first_display();
    ASSERT_EQ(capture.start(), std::nullopt);

    // Left and right differ in pitch and level, so a swap or a mix would show.
    const double seconds = 1.5;
    const auto left = test_support::make_sine(1000, 0.5, seconds, RATE, 1);
    const auto right = test_support::make_sine(1500, 0.25, seconds, RATE, 1);
    std::vector<float> stereo;
    for (std::size_t i = 0; i < left.size(); ++i) {
        stereo.push_back(left[i]);
        stereo.push_back(right[i]);
    }
    auto player = daemon_->play_pcm(stereo, RATE, CHANNELS);
    ASSERT_TRUE(player.has_value()) << player.error();
    ASSERT_TRUE(player->wait_done(PATIENCE)) << daemon_->log();

    // The tone has been rendered once the player drained; give the monitor a moment.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(capture.stop(), std::nullopt);

    const auto samples = capture.collector->samples();
    EXPECT_EQ(capture.collector->malformed(), 0u);
    for (const auto& d : capture.collector->deliveries()) {
        ASSERT_EQ(d.rate, RATE);
        ASSERT_EQ(d.channels, CHANNELS);
    }
    const auto onset = first_loud_frame(samples, 0.05);
    ASSERT_TRUE(onset.has_value()) << "no tone in " << samples.size() / CHANNELS << " frames";
    // Measure one second of the steady part, well inside the tone.
    const std::size_t first = *onset + RATE / 10;
    ASSERT_GE(samples.size() / CHANNELS, first + RATE) << "the tone was cut short";
    const auto l = measure(samples, 0, first, RATE);
    const auto r = measure(samples, 1, first, RATE);
    EXPECT_NEAR(l.frequency, 1000, 5);
    EXPECT_NEAR(r.frequency, 1500, 7.5);
    EXPECT_NEAR(l.rms, 0.5 / std::numbers::sqrt2, 0.01);
    EXPECT_NEAR(r.rms, 0.25 / std::numbers::sqrt2, 0.005);
}

TEST_F(PulseBackendTest, SilenceKeepsArrivingInShortBuffersThatCoverWallTime) {
    Clock::time_point started;
    ASSERT_NO_FATAL_FAILURE(start_daemon_and_capture(started));
    Capture& capture = *capture_;
    std::this_thread::sleep_for(5s);
    const double asked = seconds_since(started);
    EXPECT_EQ(capture.stop(), std::nullopt);
    const double stopped = seconds_since(started);

    // A recording of silence is as long as the time it ran. Stopping hands over what was
    // gathered, so only the connection's set-up and the server's fragment still on its way
    // (40 ms) are missing.
    const double recorded = static_cast<double>(capture.collector->frames()) / RATE;
    EXPECT_GE(recorded, asked - 0.06) << "recorded " << recorded << " s until a stop at " << asked;
    // PipeWire hands a fragment over when its graph has processed it, at most one of its
    // cycles (about 20 ms) before it is heard.
    EXPECT_LE(recorded, stopped + 0.02) << "recorded " << recorded << " s in " << stopped;

    const auto deliveries = capture.collector->deliveries();
    ASSERT_FALSE(deliveries.empty());
    std::size_t short_buffers = 0;
    for (const auto& d : deliveries) {
        EXPECT_LE(d.frames, FRAGMENT_FRAMES) << "a buffer longer than one fragment";
        if (d.frames >= FRAGMENT_FRAMES * 9 / 10) ++short_buffers;
    }
    EXPECT_GE(short_buffers, deliveries.size() * 9 / 10) << "most buffers should be one fragment";

    // Over the last two seconds buffers keep coming, with no long pause between them.
    const auto window_start = deliveries.back().at - 2s;
    std::size_t in_window = 0;
    auto previous = window_start;
    std::chrono::nanoseconds longest_pause{0};
    for (const auto& d : deliveries) {
        if (d.at < window_start) continue;
        ++in_window;
        longest_pause = std::max(longest_pause, std::chrono::nanoseconds(d.at - previous));
        previous = d.at;
    }
    EXPECT_GE(in_window, 2 * RATE / FRAGMENT_FRAMES * 3 / 4);
    EXPECT_LT(longest_pause, 250ms);

    for (float v : capture.collector->samples()) {
        ASSERT_EQ(v, 0.0f) << "silence should stay silent";
    }
}

TEST_F(PulseBackendTest, RecordingStoppedBeforeTheSinksFirstDeliveryStillCoversItsTime) {
    // An idle null sink renders two seconds ahead, so its monitor stays quiet that long.
    Clock::time_point started;
    ASSERT_NO_FATAL_FAILURE(start_daemon_and_capture(started));
    Capture& capture = *capture_;
    std::this_thread::sleep_for(500ms);
    const std::size_t before_stop = capture.collector->frames();
    const auto stopping = Clock::now();
    EXPECT_EQ(capture.stop(), std::nullopt);

    const double recorded = static_cast<double>(capture.collector->frames()) / RATE;
    const double lower = std::chrono::duration<double>(stopping - started).count() - 0.05;
    // PipeWire hands over each graph cycle's quantum (1024 frames here) as the cycle begins,
    // up to one quantum ahead of the wall clock; and the stop takes in the data that comes
    // while it waits for the last fragment.
    const double ahead = daemon_->kind() == test_support::ServerKind::PipeWire ? 1024.0 / RATE : 0;
    const double upper = seconds_since(started) + ahead + 0.03;
    EXPECT_GE(recorded, lower) << "frames before stop: " << before_stop;
    EXPECT_LE(recorded, upper);
}

TEST_F(PulseBackendTest, ContentRequestFailsPromptlyWithTheServersTextWhenNoServerRuns) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    daemon_->kill();  // the socket stays, nobody listens

    const auto content = request_content();
    EXPECT_FALSE(content.content);
    ASSERT_TRUE(content.error.has_value());
    EXPECT_EQ(content.error->description, pa_strerror(PA_ERR_CONNECTIONREFUSED));
    EXPECT_LT(content.seconds, 1.0);
    EXPECT_FALSE(daemon_->running()) << "nothing may start a server";
}

TEST_F(PulseBackendTest, RequestsGiveUpOnAServerThatDoesNotAnswer) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    daemon_->freeze();

    const auto frozen = request_content();
    EXPECT_FALSE(frozen.content);
    ASSERT_TRUE(frozen.error.has_value());
    EXPECT_EQ(frozen.error->description, pa_strerror(PA_ERR_TIMEOUT));
    EXPECT_LT(frozen.seconds, 3.0) << "the wait for the server must be bounded";

    Capture& capture = capture_first_display();
    const auto started = Clock::now();
    const auto error = capture.start();
    EXPECT_TRUE(error.has_value()) << "a start on a hung server succeeded";
    EXPECT_LT(seconds_since(started), 5.0);
    daemon_->thaw();
}

TEST_F(PulseBackendTest, ServerWithoutSinksHasNoDisplays) {
    ASSERT_NO_FATAL_FAILURE(start_daemon({.null_sink = false}));
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    EXPECT_TRUE(content_.content->displays().empty());
}

TEST_F(PulseBackendTest, DefaultSinkComesFirstAndTheFilterPicksItsSink) {
    std::string loaded;
    ASSERT_NO_FATAL_FAILURE(start_daemon_with_second_sink(loaded));
    auto made_default = daemon_->pactl({"set-default-sink", "second"});
    ASSERT_TRUE(made_default.has_value()) << made_default.error();

    ASSERT_NO_FATAL_FAILURE(request_running_content());
    const auto& displays = content_.content->displays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0]->source(), "second.monitor");
    EXPECT_EQ(displays[1]->source(), "testsink.monitor");
    EXPECT_NE(displays[0]->displayID(), displays[1]->displayID());

    // A tone into testsink reaches a capture of testsink's display and not the default's.
    Capture on_testsink(displays[1].get());
    Capture on_default(displays[0].get());
    ASSERT_EQ(on_testsink.start(), std::nullopt);
    ASSERT_EQ(on_default.start(), std::nullopt);
    auto player = daemon_->play_tone(1000, 0.5, 0.5);
    ASSERT_TRUE(player.has_value()) << player.error();
    ASSERT_TRUE(player->wait_done(PATIENCE));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(on_testsink.stop(), std::nullopt);
    EXPECT_EQ(on_default.stop(), std::nullopt);

    EXPECT_TRUE(first_loud_frame(on_testsink.collector->samples(), 0.05).has_value());
    EXPECT_GT(on_default.collector->frames(), 0u);
    EXPECT_FALSE(first_loud_frame(on_default.collector->samples(), 0.001).has_value());
}

TEST_F(PulseBackendTest, ServerDeathStopsTheStreamWithOneErrorAndTheBackendRecovers) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    {
        Capture capture(content_.content->displays()[0].get());
        ASSERT_EQ(capture.start(), std::nullopt);
        ASSERT_TRUE(eventually([&] { return capture.collector->count() > 10; }));

        daemon_->kill();
        ASSERT_TRUE(eventually([&] { return !capture.watcher->errors().empty(); }));
        // Buffers queued before the failure are still handed over; after that, nothing.
        platform::wait_idle();
        const std::size_t delivered = capture.collector->count();
        std::this_thread::sleep_for(500ms);
        const auto errors = capture.watcher->errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].domain, platform::SCStreamErrorDomain);
        EXPECT_EQ(errors[0].code, -3821);
        EXPECT_EQ(errors[0].description, pa_strerror(PA_ERR_CONNECTIONTERMINATED));
        EXPECT_EQ(capture.collector->count(), delivered) << "buffers after the stream stopped";
    }

    // A server that comes back is found again by the next request.
    auto restarted = daemon_->restart();
    ASSERT_TRUE(restarted.has_value()) << restarted.error();
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    Capture& again = capture_first_display();
    ASSERT_EQ(again.start(), std::nullopt);
    EXPECT_TRUE(eventually([&] { return again.collector->count() > 10; }));
    EXPECT_EQ(again.stop(), std::nullopt);
    EXPECT_TRUE(again.watcher->errors().empty());
}

TEST_F(PulseBackendTest, RemovedSinkStopsTheStreamInsteadOfMovingIt) {
    std::string loaded;
    ASSERT_NO_FATAL_FAILURE(start_daemon_with_second_sink(loaded));
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    const auto& displays = content_.content->displays();
    const auto second = std::find_if(displays.begin(), displays.end(),
                                     [](const auto& d) { return d->source() == "second.monitor"; });
    ASSERT_NE(second, displays.end());

    Capture capture(second->get());
    ASSERT_EQ(capture.start(), std::nullopt);
    ASSERT_TRUE(eventually([&] { return capture.collector->count() > 10; }));
    // testsink is still there: a stream that followed the server's fallback would keep
    // recording, from a source nobody chose.
    auto unloaded = daemon_->pactl({"unload-module", loaded.substr(0, loaded.find('\n'))});
    ASSERT_TRUE(unloaded.has_value()) << unloaded.error();

    std::vector<ErrorInfo> errors;
    ASSERT_NO_FATAL_FAILURE(capture.wait_for_its_own_stop(errors));
    EXPECT_FALSE(errors[0].description.empty());
}

TEST_F(PulseBackendTest, StopIsPromptAndFinal) {
    ASSERT_NO_FATAL_FAILURE(start_daemon_and_capture());
    Capture& capture = *capture_;
    ASSERT_TRUE(eventually([&] { return capture.collector->count() > 20; }));

    const auto asked = Clock::now();
    EXPECT_EQ(capture.stop(), std::nullopt);
    const double took = seconds_since(asked);
    const std::size_t delivered = capture.collector->count();
    std::this_thread::sleep_for(300ms);

    // Behaviour, not performance: a stop that waited for a long fragment would take seconds.
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(capture.collector->count(), delivered) << "a buffer arrived after stop completed";
    EXPECT_TRUE(capture.watcher->errors().empty());
}

TEST_F(PulseBackendTest, StartFailsWithADescriptionWhenTheSinkIsGone) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    auto unloaded = daemon_->pactl({"unload-module", "module-null-sink"});
    ASSERT_TRUE(unloaded.has_value()) << unloaded.error();

    Capture& capture = capture_first_display();
    const auto error = capture.start();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, platform::SCStreamErrorDomain);
    EXPECT_EQ(error->description, pa_strerror(PA_ERR_NOENTITY));
    EXPECT_EQ(capture.collector->count(), 0u);
}

TEST_F(PulseBackendTest, StartFailsWithADescriptionForAnUnusableFormat) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    auto filter = platform::SCContentFilter::initWithDisplayExcludingWindows(
        content_.content->displays()[0].get(), {});
    auto configuration = platform::SCStreamConfiguration::init();
    configuration->setCapturesAudio(true);
    configuration->setSampleRate(RATE);
    configuration->setChannelCount(0);
    auto stream = platform::SCStream::initWithFilter(filter.get(), configuration.get(), nullptr);

    auto answer = std::make_shared<Answer<std::optional<ErrorInfo>>>();
    stream->startCaptureWithCompletionHandler(
        [answer](platform::NSError* error) { answer->set(info(error)); });
    const auto error = answer->wait();
    ASSERT_TRUE(error.has_value());
    ASSERT_TRUE(error->has_value()) << "a stream with no channels started";
    EXPECT_NE((*error)->description.find("0 channels"), std::string::npos) << (*error)->description;
}

constexpr auto IDLE_RENDER_AHEAD = PulseDaemon::IDLE_RENDER_AHEAD;

double level_db(double rms, double reference) { return 20 * std::log10(rms / reference); }

TEST_F(PulseBackendTest, GapsInTheServersDeliveryBecomeSilenceSoARecordingFollowsTheWallClock) {
    Clock::time_point started;
    ASSERT_NO_FATAL_FAILURE(start_daemon_and_capture(started));
    Capture& capture = *capture_;
    std::this_thread::sleep_for(1s);
    // A suspended sink delivers nothing (PulseAudio) for 1.5 s.
    ASSERT_TRUE(daemon_->pactl({"suspend-sink", PulseDaemon::SINK_NAME, "1"}).has_value());
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(daemon_->pactl({"suspend-sink", PulseDaemon::SINK_NAME, "0"}).has_value());
    std::this_thread::sleep_for(1s);
    const double resumed_for = seconds_since(started);
    const double before_freeze = static_cast<double>(capture.collector->frames()) / RATE;
    // A server that hangs for the last 1.5 s before the stop.
    daemon_->freeze();
    std::this_thread::sleep_for(1500ms);
    const double asked = seconds_since(started);
    EXPECT_EQ(capture.stop(), std::nullopt);
    const double stopped = seconds_since(started);
    daemon_->thaw();

    EXPECT_NEAR(before_freeze, resumed_for, 0.15) << "the suspended time is missing";
    const double recorded = static_cast<double>(capture.collector->frames()) / RATE;
    EXPECT_GE(recorded, asked - 0.15);
    EXPECT_LE(recorded, stopped + 0.02);
    EXPECT_TRUE(capture.watcher->errors().empty());
}

TEST_F(PulseBackendTest, SurroundSinkIsMixedToStereoWithItsSurroundChannelsAudible) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const std::string layout = "front-left,front-right,rear-left,rear-right,front-center,lfe";
    ASSERT_TRUE(daemon_->load_sink("surround", 6, layout).has_value());
    ASSERT_TRUE(daemon_->set_default_sink("surround").has_value());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    ASSERT_EQ(content_.content->displays()[0]->source(), "surround.monitor");
    Capture& capture = capture_first_display();
    ASSERT_EQ(capture.start(), std::nullopt);
    std::this_thread::sleep_for(IDLE_RENDER_AHEAD);

    // A tone in the rear-left channel only, and a quieter one in the LFE, which stays out.
    const auto tone = test_support::make_sine(1000, 0.5, 1.0, RATE, 1);
    const auto rumble = test_support::make_sine(60, 0.5, 1.0, RATE, 1);
    std::vector<float> pcm(tone.size() * 6, 0.0f);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        pcm[i * 6 + 2] = tone[i];
        pcm[i * 6 + 5] = rumble[i];
    }
    auto player = daemon_->play_pcm(pcm, RATE, 6, "surround", layout);
    ASSERT_TRUE(player.has_value()) << player.error();
    ASSERT_TRUE(player->wait_done(PATIENCE)) << daemon_->log();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(capture.stop(), std::nullopt);

    const auto samples = capture.collector->samples();
    const auto onset = first_loud_frame(samples, 0.05);
    ASSERT_TRUE(onset.has_value()) << "no tone in " << samples.size() / CHANNELS << " frames";
    const std::size_t first = *onset + RATE / 10;
    ASSERT_GE(samples.size() / CHANNELS, first + RATE / 2) << "the tone was cut short";
    const auto left = measure(samples, 0, first, RATE / 2);
    const auto right = measure(samples, 1, first, RATE / 2);
    const double db = level_db(left.rms, 0.5 / std::numbers::sqrt2);
    EXPECT_GE(db, -6.0);
    EXPECT_LE(db, 0.0);
    EXPECT_NEAR(left.frequency, 1000, 5) << "the LFE leaked into the mix";
    EXPECT_LT(right.rms, 0.01);
}

TEST_F(PulseBackendTest, RecordingFollowsTheDefaultSinkAndStopsOnlyWhenNoSinkIsLeft) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const auto second = daemon_->load_sink("second");
    ASSERT_TRUE(second.has_value()) << second.error();
    ASSERT_TRUE(daemon_->load_sink("third").has_value());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    ASSERT_EQ(content_.content->displays()[0]->source(), "testsink.monitor");
    Capture& capture = capture_first_display();
    const auto started = Clock::now();
    ASSERT_EQ(capture.start(), std::nullopt);

    // Sound on the sink that is the default now, never on the one recorded at first.
    auto tone_on_default = [&](const std::string& sink) {
        std::this_thread::sleep_for(IDLE_RENDER_AHEAD);
        const std::size_t from = capture.collector->frames();
        auto player = daemon_->play_tone(1000, 0.5, 0.5, RATE, CHANNELS, sink);
        ASSERT_TRUE(player.has_value()) << player.error();
        ASSERT_TRUE(player->wait_done(PATIENCE));
        std::this_thread::sleep_for(300ms);
        const auto samples = capture.collector->samples();
        const std::vector<float> since(
            samples.begin() + static_cast<std::ptrdiff_t>(from * CHANNELS), samples.end());
        EXPECT_TRUE(first_loud_frame(since, 0.05).has_value()) << "no tone from " << sink;
    };
    ASSERT_TRUE(daemon_->set_default_sink("second").has_value());
    tone_on_default("second");
    // The recorded sink goes away while others remain: recording goes on there.
    ASSERT_TRUE(daemon_->unload_module(*second).has_value());
    const auto now_default = daemon_->pactl({"get-default-sink"});
    ASSERT_TRUE(now_default.has_value());
    tone_on_default(now_default->substr(0, now_default->find('\n')));
    EXPECT_TRUE(capture.watcher->errors().empty()) << capture.watcher->errors()[0].description;
    const double recorded_before_loss = static_cast<double>(capture.collector->frames()) / RATE;
    EXPECT_NEAR(recorded_before_loss, seconds_since(started), 0.15)
        << "a move lost or doubled time";

    // No sink left: the stream stops with one error and keeps what came before.
    ASSERT_TRUE(daemon_->pactl({"unload-module", "module-null-sink"}).has_value());
    std::vector<ErrorInfo> errors;
    ASSERT_NO_FATAL_FAILURE(capture.wait_for_its_own_stop(errors));
    EXPECT_GE(static_cast<double>(capture.collector->frames()) / RATE, recorded_before_loss);
}

// Tenths of a second in which the left channel is loud, and the longest quiet run between
// the first and the last loud one, in ms.
struct ToneCover {
    double loud_fraction = 0;
    std::size_t longest_gap_ms = 0;
    std::size_t gaps = 0;
};

ToneCover tone_cover(const std::vector<float>& interleaved, std::size_t from_frame) {
    const std::size_t block = RATE / 100;
    std::vector<bool> loud;
    for (std::size_t start = from_frame; (start + block) * CHANNELS <= interleaved.size();
         start += block) {
        double energy = 0;
        for (std::size_t i = start; i < start + block; ++i) {
            energy += double(interleaved[i * CHANNELS]) * interleaved[i * CHANNELS];
        }
        loud.push_back(std::sqrt(energy / block) > 0.05);
    }
    ToneCover cover;
    if (loud.empty()) return cover;
    cover.loud_fraction = static_cast<double>(std::count(loud.begin(), loud.end(), true)) /
                          static_cast<double>(loud.size());
    const auto first = std::find(loud.begin(), loud.end(), true);
    const auto last = std::find(loud.rbegin(), loud.rend(), true).base();
    std::size_t run = 0;
    for (auto it = first; it < last; ++it) {
        if (!*it) {
            ++run;
            continue;
        }
        if (run != 0) ++cover.gaps;
        cover.longest_gap_ms = std::max(cover.longest_gap_ms, run * 10);
        run = 0;
    }
    return cover;
}

TEST_F(PulseBackendTest, APlayingStreamMovedWithTheDefaultStaysInTheRecordingAcrossSwitches) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_TRUE(daemon_->load_sink("second").has_value());
    ASSERT_NO_FATAL_FAILURE(request_running_content());
    // A tone that plays throughout, on the default. On PipeWire the player asks for a
    // 50 ms latency. On PulseAudio it leaves its 2 s buffer to the sink (the helper's
    // end-to-end test switches a player there that asks for a latency).
    const bool pipewire = daemon_->kind() == test_support::ServerKind::PipeWire;
    auto player = daemon_->play_tone(1000, 0.5, 30.0, RATE, CHANNELS, PulseDaemon::SINK_NAME,
                                     pipewire ? 50 : 0);
    ASSERT_TRUE(player.has_value()) << player.error();
    std::this_thread::sleep_for(IDLE_RENDER_AHEAD);
    Capture& capture = capture_first_display();
    const auto started = Clock::now();
    ASSERT_EQ(capture.start(), std::nullopt);
    std::this_thread::sleep_for(IDLE_RENDER_AHEAD);
    const std::size_t settled = capture.collector->frames();

    // Ten switches of the default, the playing stream moved along each time, as when
    // headphones come and go.
    const std::string sinks[] = {"second", PulseDaemon::SINK_NAME};
    for (int i = 0; i < 10; ++i) {
        const std::string& to = sinks[i % 2];
        ASSERT_TRUE(daemon_->set_default_sink(to).has_value());
        ASSERT_TRUE(daemon_->move_players_to(to).has_value());
        std::this_thread::sleep_for(1s);
    }
    std::this_thread::sleep_for(IDLE_RENDER_AHEAD);
    const double asked = seconds_since(started);
    EXPECT_EQ(capture.stop(), std::nullopt);
    player->stop();

    EXPECT_TRUE(capture.watcher->errors().empty()) << "a switch is no failure";
    const double recorded = static_cast<double>(capture.collector->frames()) / RATE;
    EXPECT_NEAR(recorded, asked, asked * 0.01) << "switches lost or doubled time";
    const auto cover = tone_cover(capture.collector->samples(), settled);
    if (pipewire) {
        // Nothing renders ahead: a switch costs only its own moment (60 ms in our runs; with
        // a player that leaves a 2 s buffer to the server, 100 to 110 ms).
        EXPECT_GE(cover.loud_fraction, 0.9);
        EXPECT_LE(cover.longest_gap_ms, 100u);
    } else {
        // A PulseAudio null sink left idle renders silence up to 2 s ahead, and the moved
        // stream is heard, and recorded, only after it: at a switch a second, most of the
        // tone is lost. Once the switches stop, it is back.
        const std::size_t frames = capture.collector->frames();
        EXPECT_GE(tone_cover(capture.collector->samples(), frames - RATE / 2).loud_fraction, 0.9);
    }
}

}  // namespace
