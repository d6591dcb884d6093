// Test support for the bridge: a stand-in for the binding's side of every callback, which
// records what arrives, and a fixture that also expects the bridge's tables to be empty
// after each test.
#ifndef VMAH_TESTS_BRIDGE_BRIDGE_TEST_SUPPORT_H
#define VMAH_TESTS_BRIDGE_BRIDGE_TEST_SUPPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture/bridge/bridge.h"
#include "capture/bridge/bridge_testing.h"
#include "platform/platform.h"
#include "platform/scripted/test_fixture.h"

namespace bridge_test {

inline constexpr auto PATIENCE = std::chrono::seconds(10);

// Waits (boundedly, so a lost callback fails instead of hanging) until done() holds.
template <class Done>
bool wait_until(std::mutex& mutex, std::condition_variable& changed, Done done) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, PATIENCE, done);
}

// The binding's stream context as far as the bridge can see it.
struct FakeContext {
  struct Delivery {
    int32_t type;
    std::size_t references;  // the sample buffer's count as the callback saw it
    std::thread::id thread;
    std::string queue_label;
    platform::QualityOfService queue_qos;
    bool context_released;  // whether both forwarding objects had already let go
  };
  struct Stop {
    int32_t code;
    std::optional<std::string> text;
  };

  std::atomic<int> retains{0};
  std::atomic<int> releases{0};
  std::function<void()> on_retain;  // runs inside the retain callback

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Delivery> deliveries;
  std::vector<Stop> stops;

  // The platform may give its last references back on a worker after the test's last call;
  // every reference the bridge took must be back before the record goes.
  ~FakeContext() {
    platform::wait_idle();
    EXPECT_EQ(releases.load(), retains.load());
  }

  static FakeContext& of(void* context) { return *static_cast<FakeContext*>(context); }

  static void retain(void* context) {
    auto& self = of(context);
    self.retains.fetch_add(1);
    if (self.on_retain) self.on_retain();
  }
  static void release(void* context) { of(context).releases.fetch_add(1); }

  static void error(void* context, int32_t code, const char* text) {
    auto& self = of(context);
    const std::lock_guard lock(self.mutex);
    self.stops.push_back({code, text != nullptr ? std::optional<std::string>(text) : std::nullopt});
    self.changed.notify_all();
  }

  // Owns the reference the bridge hands over and gives it back, as the binding does.
  static void sample(void* context, cm_sample_buffer* buffer, int32_t type) {
    auto& self = of(context);
    const auto* object = reinterpret_cast<platform::CMSampleBuffer*>(buffer);
    const platform::DispatchQueue* queue = platform::DispatchQueue::current();
    {
      const std::lock_guard lock(self.mutex);
      self.deliveries.push_back({type, object != nullptr ? object->retain_count() : 0,
                                 std::this_thread::get_id(),
                                 queue != nullptr ? queue->label() : std::string(),
                                 queue != nullptr ? queue->qos()
                                                  : platform::QualityOfService::Unspecified,
                                 self.releases.load() >= 2});
    }
    cm_sample_buffer_release(buffer);
    self.changed.notify_all();
  }

  bool wait_for_deliveries(std::size_t count) {
    return wait_until(mutex, changed, [&] { return deliveries.size() >= count; });
  }
  bool wait_for_stops(std::size_t count) {
    return wait_until(mutex, changed, [&] { return stops.size() >= count; });
  }

  sc_stream* create_stream(sc_content_filter* filter, sc_stream_configuration* configuration) {
    return sc_stream_create(filter, configuration, this, &FakeContext::error, &FakeContext::sample,
                            &FakeContext::retain, &FakeContext::release);
  }
};

// Every call of a start, stop or content callback.
struct CallRecorder {
  struct Call {
    void* user_data;
    bool success;
    std::optional<std::string> text;
    std::thread::id thread;
    void* content;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Call> calls;

  static void completion(void* user_data, bool success, const char* text) {
    static_cast<CallRecorder*>(user_data)->record({user_data, success, opt(text), {}, nullptr});
  }
  static void content(sc_shareable_content* content, const char* text, void* user_data) {
    static_cast<CallRecorder*>(user_data)->record(
        {user_data, content != nullptr, opt(text), {}, content});
  }

  bool wait_for(std::size_t count) {
    return wait_until(mutex, changed, [&] { return calls.size() >= count; });
  }

 private:
  static std::optional<std::string> opt(const char* text) {
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
  }
  void record(Call call) {
    call.thread = std::this_thread::get_id();
    const std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
    changed.notify_all();
  }
};

class BridgeTest : public platform::scripted::ScriptedPlatformTest {
 protected:
  void TearDown() override {
    ScriptedPlatformTest::TearDown();
    EXPECT_EQ(bridge_testing::stream_state_count(), 0u);
    EXPECT_EQ(bridge_testing::configuration_storage_size(), 0u);
  }

  // A filter on the content's first display, through the bridge, with its content released.
  static sc_content_filter* first_display_filter() {
    platform::DisplayDescription description;
    description.display_id = 1;
    description.source = "scripted-display-1";
    const platform::Ref<platform::SCShareableContent> content =
        platform::make<platform::SCShareableContent>(
            platform::ContentDescription{{description}, {}, {}}, false, false);
    auto* handle = reinterpret_cast<sc_shareable_content*>(content.get());
    sc_display* display = sc_shareable_content_get_display_at(handle, 0);
    sc_content_filter* filter =
        sc_content_filter_create_with_display_excluding_windows(display, nullptr, 0);
    sc_display_release(display);
    return filter;
  }

  static sc_stream_configuration* audio_configuration() {
    sc_stream_configuration* configuration = sc_stream_configuration_create();
    sc_stream_configuration_set_captures_audio(configuration, true);
    sc_stream_configuration_set_sample_rate(configuration, 48000);
    sc_stream_configuration_set_channel_count(configuration, 2);
    return configuration;
  }
};

inline platform::SCStream* platform_of(sc_stream* stream) {
  return reinterpret_cast<platform::SCStream*>(stream);
}
inline platform::DispatchQueue* platform_of(sc_dispatch_queue* queue) {
  return reinterpret_cast<platform::DispatchQueue*>(queue);
}
inline platform::SCContentFilter* platform_of(sc_content_filter* filter) {
  return reinterpret_cast<platform::SCContentFilter*>(filter);
}

}  // namespace bridge_test

#endif
