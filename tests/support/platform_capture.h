#pragma once

// The capture platform as its clients use it, against a private sound server: a capture of
// one display that collects every audio buffer and every stop, the content request, and the
// fixture that installs the sound-server backend, starts the server and checks at the end
// that no platform object is left.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/backends/pulse/pulse_backend.h"
#include "platform/backends/sound_server/sound_server_backend.h"
#include "platform/model/platform.h"
#include "tests/support/pulse_daemon.h"
#include "tests/support/scripted_fixture.h"

namespace platform_capture {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::Ref;
using test_support::PulseDaemon;

constexpr auto PATIENCE = 10s;
constexpr std::int64_t RATE = 48000;
constexpr std::uint32_t CHANNELS = 2;
// The backend's fragment: 40 ms.
constexpr std::size_t FRAGMENT_FRAMES = RATE / 25;
using test_support::KEEPS_REAL_TIME;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class Pred>
inline bool eventually(Pred pred, std::chrono::milliseconds limit = PATIENCE) {
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

inline std::optional<ErrorInfo> info(platform::NSError* error) {
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

inline ContentAnswer request_content() {
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

class PulseBackendTest : public ::testing::Test {
protected:
    // The backend the helper installs, which picks PipeWire's own protocol on PipeWire;
    // VMAH_TEST_BACKEND=pulse holds it to the PulseAudio protocol (pipewire-pulse there).
    void SetUp() override {
        const char* chosen = std::getenv("VMAH_TEST_BACKEND");
        if (chosen != nullptr && std::string_view(chosen) == "pulse") {
            platform::install_backend(platform::make_pulse_backend());
        } else {
            platform::install_sound_server_backend();
        }
    }

    void TearDown() override {
        // What the test body set up goes first, as its own locals would have.
        capture_.reset();
        content_ = {};
        platform::install_backend(nullptr);
        platform::scripted::expect_no_live_objects();
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
    // the start was asked for, `capture_ready_` the moment it was answered.
    void start_daemon_and_capture(Clock::time_point& started) {
        ASSERT_NO_FATAL_FAILURE(start_daemon());
        ASSERT_NO_FATAL_FAILURE(request_running_content());
        capture_first_display();
        started = Clock::now();
        ASSERT_EQ(capture_->start(), std::nullopt);
        capture_ready_ = Clock::now();
    }
    void start_daemon_and_capture() {
        Clock::time_point started;
        start_daemon_and_capture(started);
    }

    std::unique_ptr<PulseDaemon> daemon_;
    ContentAnswer content_;
    std::optional<Capture> capture_;
    Clock::time_point capture_ready_;
};
}  // namespace platform_capture
