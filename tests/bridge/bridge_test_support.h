// Test support: a stand-in for the binding's side of every bridge callback, recording what
// arrives, and a fixture that also expects the bridge's tables empty after each test.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "platform/model/platform.h"
#include "tests/support/bridge_testing.h"
#include "tests/support/scripted_fixture.h"

namespace bridge_test {

// Tests look behind the bridge's opaque handles with the bridge's own casts.
using bridge::from_handle;
using bridge::to_handle;

inline std::optional<std::string> text_of(const char* text) {
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

// Entries appended from any thread; waits are bounded so a lost callback fails the test.
template <class Entry>
struct Log {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Entry> entries;

    void add(Entry entry) {
        const std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
        changed.notify_all();
    }
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return entries.size() >= count; });
    }
};

// The binding's stream context as far as the bridge can see it.
struct FakeContext {
    struct Delivery {
        int32_t type;
        std::size_t references;  // the sample buffer's count as the callback saw it
        std::thread::id thread;
        std::string queue_label;
        bool context_released;  // both forwarding objects had already let go
    };
    struct Stop {
        int32_t code;
        std::optional<std::string> text;
    };

    std::atomic<int> retains{0};
    std::atomic<int> releases{0};
    std::function<void()> on_retain;
    Log<Delivery> deliveries;
    Log<Stop> stops;

    // The platform may give its last references back on a worker after the test's last call.
    ~FakeContext() {
        platform::wait_idle();
        EXPECT_EQ(releases.load(), retains.load());
    }

    static FakeContext& of(void* context) { return *static_cast<FakeContext*>(context); }
    static void retain(void* context) {
        of(context).retains.fetch_add(1);
        if (of(context).on_retain) of(context).on_retain();
    }
    static void release(void* context) { of(context).releases.fetch_add(1); }
    static void error(void* context, int32_t code, const char* text) {
        of(context).stops.add({code, text_of(text)});
    }
    // Owns the reference the bridge hands over and gives it back, as the binding does.
    static void sample(void* context, cm_sample_buffer* buffer, int32_t type) {
        auto& self = of(context);
        const auto* queue = platform::DispatchQueue::current();
        self.deliveries.add({type, from_handle(buffer)->retain_count(), std::this_thread::get_id(),
                             queue ? queue->label() : std::string(), self.releases.load() >= 2});
        cm_sample_buffer_release(buffer);
    }

    sc_stream* create_stream(sc_content_filter* filter, sc_stream_configuration* configuration) {
        return sc_stream_create(filter, configuration, this, &error, &sample, &retain, &release);
    }
};

// Calls of a start, stop or content callback; the user data is the recorder itself.
struct Call {
    void* user_data;
    bool success;
    std::optional<std::string> text;
    std::thread::id thread;
    sc_shareable_content* content;
};
struct CallRecorder : Log<Call> {
    static void completion(void* user_data, bool success, const char* text) {
        static_cast<CallRecorder*>(user_data)->add(
            {user_data, success, text_of(text), std::this_thread::get_id(), nullptr});
    }
    static void content(sc_shareable_content* content, const char* text, void* user_data) {
        static_cast<CallRecorder*>(user_data)->add(
            {user_data, content != nullptr, text_of(text), std::this_thread::get_id(), content});
    }
};

class BridgeTest : public platform::scripted::ScriptedPlatformTest {
protected:
    void TearDown() override {
        ScriptedPlatformTest::TearDown();
        EXPECT_EQ(bridge_testing::stream_state_count(), 0u);
        EXPECT_EQ(bridge_testing::configuration_storage_size(), 0u);
    }
};

// A stream as the helper makes one: audio configuration, filter on a display of its own.
class StreamTest : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        platform::DisplayDescription description;
        description.source = "scripted-display-1";
        const auto display = platform::make<platform::SCDisplay>(description);
        filter_ = sc_content_filter_create_with_display_excluding_windows(to_handle(display.get()),
                                                                          nullptr, 0);
        configuration_ = sc_stream_configuration_create();
        sc_stream_configuration_set_captures_audio(configuration_, true);
        sc_stream_configuration_set_sample_rate(configuration_, 48000);
        sc_stream_configuration_set_channel_count(configuration_, 2);
    }
    void TearDown() override {
        sc_stream_configuration_release(configuration_);
        sc_content_filter_release(filter_);
        BridgeTest::TearDown();
    }

    // Starts capture and waits until the platform has settled it.
    void start(sc_stream* stream) {
        CallRecorder started;
        sc_stream_start_capture(stream, &started, &CallRecorder::completion);
        ASSERT_TRUE(started.wait_for(1));
        ASSERT_TRUE(started.entries[0].success);
        // The platform files the capture away after its start request returns, which may be
        // after the answer.
        platform::wait_idle();
    }

    sc_content_filter* filter_ = nullptr;
    sc_stream_configuration* configuration_ = nullptr;
};

}  // namespace bridge_test
