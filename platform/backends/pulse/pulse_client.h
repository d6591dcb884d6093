#pragma once

// A small libpulse client: one threaded main loop per object, its lock taken only
// around server calls, every wait bounded. It never autospawns a server. It knows
// nothing about the objects it feeds.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/backends/audio/channel_layout.h"
#include "platform/backends/pulse/pulse_api.h"
#include "platform/model/backend.h"

namespace platform::pulse {

using namespace std::chrono_literals;

// The name the server shows for every connection of the helper.
inline constexpr const char* CLIENT_NAME = "velgo_marrinet_audio_helper";

struct SinkInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string monitor_source_name;
    pa_channel_map channel_map{};
    bool is_default = false;
};
using SinkList = std::expected<std::vector<SinkInfo>, BackendError>;

// A valid map as the mixer reads it; an auxiliary channel's position is Unknown.
audio::ChannelLayout layout_of(const pa_channel_map& map);

namespace detail {
// Releases through a loaded library pointer, read when called (it is filled at load time).
template <auto& Release>
struct Releaser {
    void operator()(auto* object) const { Release(object); }
};

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop);
    ~LoopLock();
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// An operation handle that is cancelled, if still running, and unreferenced when
// dropped, so no reply can reach a caller that has returned.
class Operation {
public:
    explicit Operation(pa_operation* op = nullptr) : op_(op) {}
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    explicit operator bool() const { return op_ != nullptr; }
    // Drops the operation held (as the destructor does) and holds `op`.
    void reset(pa_operation* op = nullptr);

private:
    pa_operation* op_;
};
}  // namespace detail

class PulseClient;

// Asks for every sink and the default sink's name. `done` is called once, on the loop
// thread with the lock held, with the sinks (the default first, the rest in server order),
// unless the query is dropped first. Create and drop it with the loop lock held.
class SinkQuery {
public:
    using Done = std::function<void(SinkList)>;
    SinkQuery(PulseClient& client, Done done);

private:
    void settle_if_done();

    PulseClient& client_;
    Done done_;
    std::string default_sink_;
    std::vector<SinkInfo> sinks_;
    int pending_ = 2;
    bool ok_ = true;
    detail::Operation server_op_;
    detail::Operation sinks_op_;
};

// One connection to the server, with the main loop thread that serves it.
class PulseClient {
    struct Key {};

public:
    static constexpr auto CONNECT_LIMIT = 1000ms;
    static constexpr auto REQUEST_LIMIT = 2000ms;

    // Connects to the server libpulse's own configuration names (PULSE_SERVER,
    // client.conf, the default socket) as CLIENT_NAME, waiting at most CONNECT_LIMIT. Failures
    // are the server library's.
    static std::expected<std::unique_ptr<PulseClient>, BackendError> connect();

    explicit PulseClient(Key);
    // Disconnects, then stops and joins the loop thread.
    ~PulseClient();

    // Every sink of the server, the default sink first, the rest in server order.
    SinkList list_sinks(std::chrono::milliseconds limit = REQUEST_LIMIT);

    pa_threaded_mainloop* loop() const { return loop_.get(); }
    pa_context* context() const { return context_.get(); }
    // The connection's last error.
    BackendError context_error() const;
    // Waits, with the loop lock held, until `done` holds or `limit` has passed.
    bool wait_locked(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Called on the loop thread, lock held, when the connection is lost. Set (only once
    // connected, so never before it was ready) and cleared with the lock held.
    void on_lost(std::function<void()> handler) { on_lost_ = std::move(handler); }

private:
    static void on_context_state(pa_context* context, void* self);

    std::unique_ptr<pa_threaded_mainloop, detail::Releaser<pa_threaded_mainloop_free>> loop_;
    std::unique_ptr<pa_context, detail::Releaser<pa_context_unref>> context_;
    std::function<void()> on_lost_;
    int cookie_fd_ = -1;  // the empty cookie handed to libpulse, when it has none
};

// libpulse's error `code` (PA_ERR_*) with the library's text for it; the code of a condition
// the helper names in its own words becomes that condition's negative errno.
BackendError library_error(int code);

}  // namespace platform::pulse
