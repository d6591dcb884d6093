#include "platform/backends/pulse/pulse_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace platform::pulse {

namespace {
using enum audio::ChannelPosition;
constexpr std::pair<pa_channel_position_t, audio::ChannelPosition> POSITIONS[] = {
    {PA_CHANNEL_POSITION_MONO, Mono},
    {PA_CHANNEL_POSITION_FRONT_LEFT, FrontLeft},
    {PA_CHANNEL_POSITION_FRONT_RIGHT, FrontRight},
    {PA_CHANNEL_POSITION_FRONT_CENTER, FrontCenter},
    {PA_CHANNEL_POSITION_LFE, Lfe},
    {PA_CHANNEL_POSITION_REAR_LEFT, RearLeft},
    {PA_CHANNEL_POSITION_REAR_RIGHT, RearRight},
    {PA_CHANNEL_POSITION_REAR_CENTER, RearCenter},
    {PA_CHANNEL_POSITION_SIDE_LEFT, SideLeft},
    {PA_CHANNEL_POSITION_SIDE_RIGHT, SideRight},
    {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, FrontLeftOfCenter},
    {PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, FrontRightOfCenter},
    {PA_CHANNEL_POSITION_TOP_CENTER, TopCenter},
    {PA_CHANNEL_POSITION_TOP_FRONT_LEFT, TopFrontLeft},
    {PA_CHANNEL_POSITION_TOP_FRONT_RIGHT, TopFrontRight},
    {PA_CHANNEL_POSITION_TOP_FRONT_CENTER, TopFrontCenter},
    {PA_CHANNEL_POSITION_TOP_REAR_LEFT, TopRearLeft},
    {PA_CHANNEL_POSITION_TOP_REAR_RIGHT, TopRearRight},
    {PA_CHANNEL_POSITION_TOP_REAR_CENTER, TopRearCenter},
};
// Every channel of a map finds a place.
static_assert(audio::ChannelLayout::MAX_CHANNELS >= PA_CHANNELS_MAX);
}  // namespace

audio::ChannelLayout layout_of(const pa_channel_map& map) {
    audio::ChannelLayout layout;
    for (unsigned c = 0; c < map.channels && c < PA_CHANNELS_MAX; ++c) {
        const auto* known =
            std::ranges::find_if(POSITIONS, [&](const auto& p) { return p.first == map.map[c]; });
        layout.add(known == std::end(POSITIONS) ? Unknown : known->second);
    }
    return layout;
}

namespace detail {
LoopLock::LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
LoopLock::~LoopLock() { pa_threaded_mainloop_unlock(loop_); }

Operation::~Operation() { reset(); }

void Operation::reset(pa_operation* op) {
    if (op_ != nullptr) {
        if (pa_operation_get_state(op_) == PA_OPERATION_RUNNING) pa_operation_cancel(op_);
        pa_operation_unref(op_);
    }
    op_ = op;
}
}  // namespace detail

using detail::LoopLock;

BackendError library_error(int code) {
    // The conditions the helper names in its own words cross the seam as their errno.
    static constexpr std::pair<int, int> NAMED[] = {
        {PA_ERR_CONNECTIONREFUSED, -ECONNREFUSED},
        {PA_ERR_CONNECTIONTERMINATED, -EPIPE},
        {PA_ERR_TIMEOUT, -ETIMEDOUT},
        {PA_ERR_NOENTITY, -ENOENT},
        {PA_ERR_INVALID, -EINVAL},
    };
    const auto* named = std::find_if(std::begin(NAMED), std::end(NAMED),
                                     [code](const auto& n) { return n.first == code; });
    return {named != std::end(NAMED) ? named->second : code, pa_strerror(code)};
}

namespace {

// The cookie length of the server's native protocol.
constexpr std::size_t COOKIE_BYTES = 256;

std::string env_or(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : otherwise;
}

// A line "cookie-file = …", not one commented out with ';' or '#'.
bool names_a_cookie_file(const std::filesystem::path& conf) {
    std::ifstream in(conf);
    for (std::string line; std::getline(in, line);) {
        const auto first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line.compare(first, 11, "cookie-file") == 0) return true;
    }
    return false;
}

// Whether libpulse has a cookie to find: named by the environment or a client.conf, or
// in the user's home, where the server writes it.
bool cookie_to_be_found() {
    namespace fs = std::filesystem;
    // Without HOME libpulse looks up the user's home itself: leave the search to it.
    if (std::getenv("PULSE_COOKIE") != nullptr || env_or("HOME", "").empty()) return true;
    const std::string home = env_or("HOME", "");
    const fs::path config = env_or("XDG_CONFIG_HOME", home + "/.config");
    std::vector<fs::path> confs{config / "pulse/client.conf"};
    if (const char* own = std::getenv("PULSE_CLIENTCONFIG"); own != nullptr) {
        confs.emplace_back(own);
    } else {
        confs.emplace_back("/etc/pulse/client.conf");
        std::error_code error;
        for (fs::directory_iterator it("/etc/pulse/client.conf.d", error), end; !error && it != end;
             it.increment(error)) {
            confs.push_back(it->path());
        }
    }
    if (std::any_of(confs.begin(), confs.end(), names_a_cookie_file)) return true;
    return ::access((config / "pulse/cookie").c_str(), R_OK) == 0 ||
           ::access((home + "/.pulse-cookie").c_str(), R_OK) == 0;
}

// Without a cookie libpulse connects with an empty one (a local server knows the user by
// the socket's credentials), but first writes "Failed to load cookie file …" on standard
// error, or creates a cookie in the user's home. When there is none to find, the empty
// cookie is handed over from memory instead. Returns the descriptor that holds it, or -1.
int hand_over_empty_cookie(pa_context* context) {
    if (cookie_to_be_found()) return -1;
    const int fd = ::memfd_create("cookie", MFD_CLOEXEC);
    if (fd < 0) return -1;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (::ftruncate(fd, COOKIE_BYTES) != 0 ||
        pa_context_load_cookie_from_file(context, path.c_str()) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// ---- PulseClient ----

PulseClient::PulseClient(Key) {}

std::expected<std::unique_ptr<PulseClient>, BackendError> PulseClient::connect() {
    if (auto loaded = load(); !loaded) return std::unexpected(loaded.error());
    auto client = std::make_unique<PulseClient>(Key{});
    client->loop_.reset(pa_threaded_mainloop_new());
    if (!client->loop_) return std::unexpected(library_error(PA_ERR_INTERNAL));
    client->context_.reset(
        pa_context_new(pa_threaded_mainloop_get_api(client->loop_.get()), CLIENT_NAME));
    if (!client->context_) return std::unexpected(library_error(PA_ERR_INTERNAL));
    pa_context_set_state_callback(client->context_.get(), &PulseClient::on_context_state,
                                  client.get());

    client->cookie_fd_ = hand_over_empty_cookie(client->context_.get());
    // The helper never starts a server of its own: a missing one is an answer.
    if (pa_context_connect(client->context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return std::unexpected(client->context_error());
    }
    if (pa_threaded_mainloop_start(client->loop_.get()) < 0) {
        return std::unexpected(library_error(PA_ERR_INTERNAL));
    }

    LoopLock lock(client->loop_.get());
    pa_context* context = client->context_.get();
    const bool settled = client->wait_locked(
        [context] {
            const auto state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        CONNECT_LIMIT);
    if (!settled) return std::unexpected(library_error(PA_ERR_TIMEOUT));
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        return std::unexpected(client->context_error());
    }
    return client;
}

PulseClient::~PulseClient() {
    if (!loop_) return;
    if (context_) {
        LoopLock lock(loop_.get());
        on_lost_ = nullptr;
        pa_context_set_state_callback(context_.get(), nullptr, nullptr);
        pa_context_disconnect(context_.get());
        context_.reset();
    }
    pa_threaded_mainloop_stop(loop_.get());
    loop_.reset();
    if (cookie_fd_ >= 0) ::close(cookie_fd_);
}

void PulseClient::on_context_state(pa_context* context, void* self) {
    auto* client = static_cast<PulseClient*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && client->on_lost_) client->on_lost_();
    pa_threaded_mainloop_signal(client->loop_.get(), 0);
}

BackendError PulseClient::context_error() const {
    return library_error(pa_context_errno(context_.get()));
}

bool PulseClient::wait_locked(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    struct Timer {
        pa_threaded_mainloop* loop;
        bool fired = false;
    } timer{loop_.get()};
    const auto usec = static_cast<pa_usec_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(limit).count());
    pa_time_event* event = pa_context_rttime_new(
        context_.get(), pa_rtclock_now() + usec,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* t = static_cast<Timer*>(data);
            t->fired = true;
            pa_threaded_mainloop_signal(t->loop, 0);
        },
        &timer);
    // Without its timer the wait would have no bound: give up at once instead.
    if (event == nullptr) return done();
    while (!done() && !timer.fired) pa_threaded_mainloop_wait(loop_.get());
    pa_threaded_mainloop_get_api(loop_.get())->time_free(event);
    return done();
}

// ---- SinkQuery ----

SinkQuery::SinkQuery(PulseClient& client, Done done) : client_(client), done_(std::move(done)) {
    pa_context* context = client.context();
    server_op_.reset(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* q = static_cast<SinkQuery*>(data);
            if (info == nullptr) {
                q->ok_ = false;
            } else if (info->default_sink_name != nullptr) {
                q->default_sink_ = info->default_sink_name;
            }
            --q->pending_;
            q->settle_if_done();
        },
        this));
    sinks_op_.reset(pa_context_get_sink_info_list(
        context,
        [](pa_context*, const pa_sink_info* info, int eol, void* data) {
            auto* q = static_cast<SinkQuery*>(data);
            if (eol != 0) {
                if (eol < 0) q->ok_ = false;
                --q->pending_;
                q->settle_if_done();
                return;
            }
            SinkInfo sink;
            sink.index = info->index;
            sink.name = info->name != nullptr ? info->name : "";
            sink.monitor_source_name =
                info->monitor_source_name != nullptr ? info->monitor_source_name : "";
            sink.channel_map = info->channel_map;
            q->sinks_.push_back(std::move(sink));
        },
        this));
    if (!server_op_ || !sinks_op_) {
        pending_ = 0;
        ok_ = false;
        // Answered at once, from here: the caller holds the lock already.
        settle_if_done();
    }
}

void SinkQuery::settle_if_done() {
    if (pending_ > 0 || !done_) return;
    auto done = std::move(done_);
    done_ = nullptr;
    if (!ok_) {
        done(std::unexpected(client_.context_error()));
        pa_threaded_mainloop_signal(client_.loop(), 0);
        return;
    }
    // The default sink leads; the others keep the server's order.
    for (auto& sink : sinks_) sink.is_default = sink.name == default_sink_;
    std::stable_partition(sinks_.begin(), sinks_.end(),
                          [](const SinkInfo& s) { return s.is_default; });
    done(std::move(sinks_));
    pa_threaded_mainloop_signal(client_.loop(), 0);
}

SinkList PulseClient::list_sinks(std::chrono::milliseconds limit) {
    LoopLock lock(loop_.get());
    std::optional<SinkList> result;
    SinkQuery query(*this, [&result](SinkList sinks) { result = std::move(sinks); });
    pa_context* context = context_.get();
    const bool settled = wait_locked(
        [&] { return result.has_value() || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); },
        limit);
    if (!settled) return std::unexpected(library_error(PA_ERR_TIMEOUT));
    if (!result) return std::unexpected(context_error());
    return std::move(*result);
}

}  // namespace platform::pulse

#if defined(__SANITIZE_THREAD__)
// libpulse (not instrumented) creates the mutex of each once-only static on first use
// and publishes it with its own atomics, which ThreadSanitizer cannot see. The first
// client of a process then shows a "race" on that mutex between the thread that
// started a main loop and the loop thread. Only races reported inside libpulse's own
// pa_mutex_lock are exempted; our code never touches a pa_mutex directly. Likewise libpulse
// recycles its packets through a process-wide lock-free free list: a packet freed by one
// connection's loop thread and filled by another's (two recordings, each sending a request)
// shows as a "race" between pa_packet_new_data and pa_iochannel_read_with_ancil_data, on
// memory only libpulse touches.
extern "C" const char* __tsan_default_suppressions() {
    return "race:pa_mutex_lock\nrace:pa_packet_new_data\nrace:pa_iochannel_read_with_ancil_data\n";
}
#endif
