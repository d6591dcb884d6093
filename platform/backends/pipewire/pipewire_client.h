#pragma once

// A small libpipewire client: one thread loop per object, its lock taken only around server
// calls, every wait bounded. It keeps the server's audio sinks and its default sink up to
// date, and which streams play into which node with how many channels, and knows nothing
// about the objects it feeds.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/backends/audio/channel_layout.h"
#include "platform/backends/pipewire/pipewire_api.h"
#include "platform/model/backend.h"

namespace platform::pipewire {

using namespace std::chrono_literals;

struct SinkInfo {
    std::uint32_t id = 0;
    std::string name;
    // Its layout, when the server says; empty leaves the mixing to the server.
    audio::ChannelLayout layout;
    bool is_default = false;
};

// A failed call's result (a negative errno) with libpipewire's own text for it. The conditions
// the helper names take their errno: ECONNREFUSED, EPIPE (a lost connection), ETIMEDOUT (its
// own time limit), ENOENT (a sink that is gone), EINVAL.
BackendError library_error(int result);

// A sink's "audio.position" ("FL,FR,FC" or "[ FL FR FC ]") as the layout the mixer reads;
// empty when a name is unknown or there are too many.
audio::ChannelLayout parse_positions(std::string_view text);
// The server's name for a position in a stream's format; unknown for one it has none for.
spa_audio_channel spa_position(audio::ChannelPosition position);

class PipewireClient {
    struct Key {};

public:
    static constexpr auto CONNECT_LIMIT = 1000ms;

    // Connects to the server libpipewire's own conventions name (PIPEWIRE_REMOTE, the runtime
    // directory) and learns its sinks and default sink.
    static std::expected<std::unique_ptr<PipewireClient>, BackendError> connect(
        std::chrono::milliseconds limit = CONNECT_LIMIT);

    explicit PipewireClient(Key) {}
    PipewireClient(const PipewireClient&) = delete;
    PipewireClient& operator=(const PipewireClient&) = delete;
    // Disconnects, then stops and joins the loop thread.
    ~PipewireClient();

    pw_thread_loop* loop() const { return loop_; }
    pw_core* core() const { return core_; }

    // With the loop lock held. Every audio sink whose layout the server has told, the default
    // first, the rest by id. A sink the server announced is listed once its properties came.
    std::vector<SinkInfo> sinks() const;
    // Waits until the server has answered everything asked so far.
    bool roundtrip(std::chrono::milliseconds limit);
    bool wait_locked(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Called on the loop thread, lock held: a sink came (with its layout) or went, its layout
    // or the default changed; the connection was lost. Set and cleared with the lock held.
    void on_change(std::function<void()> handler) { on_change_ = std::move(handler); }
    void on_lost(std::function<void()> handler) { on_lost_ = std::move(handler); }
    bool lost() const { return lost_; }
    // Why connect() gave up waiting for the first answers: lock held.
    BackendError connect_failure() const;

    // With the loop lock held. Whether every node linked into the sink that node `reader`
    // records from is a playing stream of at most two channels (none at all counts as such;
    // one whose format is not known yet does not); nothing while `reader` records from no sink.
    std::optional<bool> plays_at_most_stereo(std::uint32_t reader) const;
    // Called on the loop thread, lock held: a playing stream's format, or a link, came or went.
    void on_playing(std::function<void()> handler) { on_playing_ = std::move(handler); }

private:
    // A bound node: a sink, or a stream that plays into the graph ("Stream/Output/Audio").
    // Goes with the loop lock held.
    struct Node {
        ~Node() {
            if (proxy == nullptr) return;
            spa_hook_remove(&listener);
            pw_proxy_destroy(proxy);
        }
        PipewireClient* owner = nullptr;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        SinkInfo info;               // a sink's
        bool known = false;          // a sink's properties, and so its layout, came
        std::uint32_t channels = 0;  // a stream's own format's; 0 until that is known
    };
    struct Link {
        std::uint32_t from = 0;  // output node
        std::uint32_t to = 0;    // input node
    };

    void global(std::uint32_t id, const char* type, const spa_dict* props);
    void add_sink(std::uint32_t id, const char* name);
    void add_stream(std::uint32_t id);
    void playing() {
        if (on_playing_) on_playing_();
    }
    void global_remove(std::uint32_t id);
    void set_default(std::string name);
    void changed() {
        if (on_change_) on_change_();
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_proxy* metadata_ = nullptr;
    spa_hook core_listener_{};
    spa_hook registry_listener_{};
    spa_hook metadata_listener_{};
    std::uint32_t metadata_id_ = SPA_ID_INVALID;
    std::map<std::uint32_t, std::unique_ptr<Node>> nodes_;
    std::map<std::uint32_t, std::unique_ptr<Node>> streams_;
    std::map<std::uint32_t, Link> links_;
    std::string default_sink_;
    int sync_seq_ = -1;
    int done_seq_ = -1;
    bool lost_ = false;
    int lost_result_ = 0;  // the core error that ended the connection
    bool started_ = false;
    std::function<void()> on_change_;
    std::function<void()> on_lost_;
    std::function<void()> on_playing_;
};

}  // namespace platform::pipewire
