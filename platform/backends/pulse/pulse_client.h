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
#include <string_view>
#include <vector>

#include <pulse/channelmap.h>

#include "platform/backends/audio/channel_layout.h"
#include "platform/model/backend.h"

struct pa_context;
struct pa_operation;
struct pa_stream;
struct pa_threaded_mainloop;

namespace platform::pulse {

using namespace std::chrono_literals;

// The name the server shows for every connection of the helper.
inline constexpr const char* CLIENT_NAME = "velgo_marrinet_audio_helper";

struct SinkInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    std::string monitor_source_name;
    std::uint32_t rate = 0;
    pa_channel_map channel_map{};
    bool is_default = false;
};
using SinkList = std::expected<std::vector<SinkInfo>, BackendError>;

// A valid map as the mixer reads it; an auxiliary channel's position is Unknown.
audio::ChannelLayout layout_of(const pa_channel_map& map);

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
    SinkQuery(const SinkQuery&) = delete;
    SinkQuery& operator=(const SinkQuery&) = delete;

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
    // client.conf, the default socket). Failures are the server library's.
    static std::expected<std::unique_ptr<PulseClient>, BackendError> connect(
        std::string_view client_name, std::chrono::milliseconds limit = CONNECT_LIMIT);

    explicit PulseClient(Key);
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;
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
    // Called on the loop thread, lock held, when a ready connection is lost. Set and
    // cleared with the lock held.
    void on_lost(std::function<void()> handler) { on_lost_ = std::move(handler); }

private:
    static void on_context_state(pa_context* context, void* self);

    std::unique_ptr<pa_threaded_mainloop, detail::LoopFree> loop_;
    std::unique_ptr<pa_context, detail::ContextUnref> context_;
    bool ready_ = false;
    bool closing_ = false;
    std::function<void()> on_lost_;
    int cookie_fd_ = -1;  // the empty cookie handed to libpulse, when it has none
};

// libpulse's error `code` (PA_ERR_*) with the library's text for it; the code of a condition
// the helper names in its own words becomes that condition's negative errno.
BackendError library_error(int code);

}  // namespace platform::pulse
