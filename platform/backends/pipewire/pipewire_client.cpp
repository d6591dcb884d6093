#include "platform/backends/pipewire/pipewire_client.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>

#include <pipewire/extensions/metadata.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/format-utils.h>
#include <spa/utils/result.h>
#include <spa/utils/string.h>

namespace platform::pipewire {

namespace {

// The one table of channel positions: the name the server uses in a sink's "audio.position",
// the position the mixer reads, and the server's own for a stream's format.
struct KnownPosition {
    std::string_view name;
    audio::ChannelPosition position;
    spa_audio_channel channel;
};
using enum audio::ChannelPosition;
constexpr KnownPosition POSITIONS[] = {
    {"MONO", Mono, SPA_AUDIO_CHANNEL_MONO},
    {"FL", FrontLeft, SPA_AUDIO_CHANNEL_FL},
    {"FR", FrontRight, SPA_AUDIO_CHANNEL_FR},
    {"FC", FrontCenter, SPA_AUDIO_CHANNEL_FC},
    {"LFE", Lfe, SPA_AUDIO_CHANNEL_LFE},
    {"SL", SideLeft, SPA_AUDIO_CHANNEL_SL},
    {"SR", SideRight, SPA_AUDIO_CHANNEL_SR},
    {"FLC", FrontLeftOfCenter, SPA_AUDIO_CHANNEL_FLC},
    {"FRC", FrontRightOfCenter, SPA_AUDIO_CHANNEL_FRC},
    {"RC", RearCenter, SPA_AUDIO_CHANNEL_RC},
    {"RL", RearLeft, SPA_AUDIO_CHANNEL_RL},
    {"RR", RearRight, SPA_AUDIO_CHANNEL_RR},
};

}  // namespace

audio::ChannelLayout parse_positions(std::string_view text) {
    audio::ChannelLayout layout;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto begin = text.find_first_not_of("[], ", at);
        if (begin == std::string_view::npos) break;
        auto end = text.find_first_of("[], ", begin);
        if (end == std::string_view::npos) end = text.size();
        const auto name = text.substr(begin, end - begin);
        at = end;
        const auto known = std::find_if(std::begin(POSITIONS), std::end(POSITIONS),
                                        [&](const auto& p) { return p.name == name; });
        if (known == std::end(POSITIONS) || !layout.add(known->position)) return {};
    }
    return layout;
}

spa_audio_channel spa_position(audio::ChannelPosition position) {
    const auto known = std::find_if(std::begin(POSITIONS), std::end(POSITIONS),
                                    [&](const auto& p) { return p.position == position; });
    return known == std::end(POSITIONS) ? SPA_AUDIO_CHANNEL_UNKNOWN : known->channel;
}

namespace {

// The sink's name in the default metadata's value, {"name":"<sink>"}.
std::string json_name(const char* value) {
    if (value == nullptr) return {};
    const std::string_view text(value);
    auto key = text.find("\"name\"");
    if (key == std::string_view::npos) return {};
    const auto open = text.find('"', text.find(':', key));
    if (open == std::string_view::npos) return {};
    const auto close = text.find('"', open + 1);
    if (close == std::string_view::npos) return {};
    return std::string(text.substr(open + 1, close - open - 1));
}

const char* lookup(const spa_dict* props, const char* key) {
    return props == nullptr ? nullptr : spa_dict_lookup(props, key);
}

// A node id in a link's properties; SPA_ID_INVALID when there is none.
std::uint32_t node_id(const spa_dict* props, const char* key) {
    std::uint32_t id = SPA_ID_INVALID;
    return spa_atou32(lookup(props, key), &id, 10) ? id : SPA_ID_INVALID;
}

// The channels of a raw audio format; 0 for anything else.
std::uint32_t format_channels(const spa_pod* format) {
    std::uint32_t media_type = 0;
    std::uint32_t media_subtype = 0;
    if (format == nullptr || spa_format_parse(format, &media_type, &media_subtype) < 0 ||
        media_type != SPA_MEDIA_TYPE_audio || media_subtype != SPA_MEDIA_SUBTYPE_raw) {
        return 0;
    }
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(format, &info) < 0) return 0;
    return info.channels;
}

// What a recording client needs of the library: real-time scheduling for the data thread
// that hands over the stream's buffers (directly where the process may have it, through the
// desktop's RTKit otherwise, and without it where neither answers: a client late for its
// cycle loses that cycle's audio), the native protocol, the client node its stream exports
// with the adapter and the converter in it, the metadata that names the default sink. The
// stock client configuration loads two modules more (session manager, client device) and
// D-Bus support: about 0.6 MB of this process's memory, and time at every start. Where this
// fails (a library that wants a configuration), the stock one is used, without D-Bus. The
// library logs nothing: standard error carries the helper's own lines only.
pw_context* recording_context(pw_loop* loop) {
    pw_context* context =
        pw_context_new(loop,
                       pw_properties_new(PW_KEY_CONFIG_NAME, "null", "support.dbus", "false",
                                         "log.level", "0", nullptr),
                       0);
    if (context != nullptr) {
        // Loaded first, as the stock real-time configuration does: the data thread gets the
        // priority this module gives. Without it (none of the three ways answered), recording
        // goes on at the thread's ordinary priority. The context starts its data thread at
        // once, before any module can be loaded: that one is started again once it is there.
        if (pw_context_load_module(context, "libpipewire-module-rt", nullptr, nullptr) != nullptr) {
            pw_data_loop* data = pw_context_get_data_loop(context);
            if (data != nullptr && pw_data_loop_stop(data) == 0) pw_data_loop_start(data);
        }
        bool loaded = pw_context_add_spa_lib(context, "audio.convert.*",
                                             "audioconvert/libspa-audioconvert") >= 0;
        for (const char* module :
             {"libpipewire-module-protocol-native", "libpipewire-module-client-node",
              "libpipewire-module-adapter", "libpipewire-module-metadata"}) {
            loaded = loaded && pw_context_load_module(context, module, nullptr, nullptr) != nullptr;
        }
        if (loaded) return context;
        pw_context_destroy(context);
    }
    return pw_context_new(loop,
                          pw_properties_new("support.dbus", "false", "log.level", "0", nullptr), 0);
}

}  // namespace

BackendError library_error(int result) { return {result, spa_strerror(result)}; }

std::expected<std::unique_ptr<PipewireClient>, BackendError> PipewireClient::connect(
    std::chrono::milliseconds limit) {
    if (auto loaded = load(); !loaded) return std::unexpected(loaded.error());
    auto client = std::make_unique<PipewireClient>(Key{});
    PipewireClient* self = client.get();
    self->loop_ = pw_thread_loop_new("vmah-pipewire", nullptr);
    if (self->loop_ == nullptr) return std::unexpected(library_error(-errno));
    self->context_ = recording_context(pw_thread_loop_get_loop(self->loop_));
    if (self->context_ == nullptr) return std::unexpected(library_error(-errno));
    if (const int started = pw_thread_loop_start(self->loop_); started < 0) {
        return std::unexpected(library_error(started));
    }
    self->started_ = true;

    pw_thread_loop_lock(self->loop_);
    const auto outcome = [&]() -> std::expected<void, BackendError> {
        self->core_ = pw_context_connect(self->context_, nullptr, 0);
        if (self->core_ == nullptr) return std::unexpected(library_error(-errno));
        static const pw_core_events CORE_EVENTS = {
            .version = PW_VERSION_CORE_EVENTS,
            .done =
                [](void* data, std::uint32_t id, int seq) {
                    auto* c = static_cast<PipewireClient*>(data);
                    if (id != PW_ID_CORE) return;
                    c->done_seq_ = seq;
                    pw_thread_loop_signal(c->loop_, false);
                },
            .error =
                [](void* data, std::uint32_t id, int, int res, const char*) {
                    // An error of the core itself ends the connection, whichever it is.
                    auto* c = static_cast<PipewireClient*>(data);
                    if (id != PW_ID_CORE || c->lost_) return;
                    c->lost_ = true;
                    c->lost_result_ = res;
                    if (c->on_lost_) c->on_lost_();
                    pw_thread_loop_signal(c->loop_, false);
                },
        };
        pw_core_add_listener(self->core_, &self->core_listener_, &CORE_EVENTS, self);
        self->registry_ = pw_core_get_registry(self->core_, PW_VERSION_REGISTRY, 0);
        if (self->registry_ == nullptr) return std::unexpected(library_error(-errno));
        static const pw_registry_events REGISTRY_EVENTS = {
            .version = PW_VERSION_REGISTRY_EVENTS,
            .global =
                [](void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                   const spa_dict* props) {
                    static_cast<PipewireClient*>(data)->global(id, type, props);
                },
            .global_remove =
                [](void* data, std::uint32_t id) {
                    static_cast<PipewireClient*>(data)->global_remove(id);
                },
        };
        pw_registry_add_listener(self->registry_, &self->registry_listener_, &REGISTRY_EVENTS,
                                 self);
        // The first answer lists the objects, the second what was asked of each.
        for (int round = 0; round < 2; ++round) {
            if (!self->roundtrip(limit)) return std::unexpected(self->connect_failure());
        }
        return {};
    }();
    pw_thread_loop_unlock(self->loop_);
    if (!outcome) return std::unexpected(outcome.error());
    return client;
}

BackendError PipewireClient::connect_failure() const {
    if (!lost_) return library_error(-ETIMEDOUT);
    // A server that hangs up before it answered refused the connection.
    if (lost_result_ == -EPIPE || lost_result_ == 0) return library_error(-ECONNREFUSED);
    return library_error(lost_result_);
}

PipewireClient::~PipewireClient() {
    if (loop_ != nullptr && started_) {
        pw_thread_loop_lock(loop_);
        nodes_.clear();
        streams_.clear();
        if (metadata_ != nullptr) {
            spa_hook_remove(&metadata_listener_);
            pw_proxy_destroy(metadata_);
        }
        if (registry_ != nullptr) {
            spa_hook_remove(&registry_listener_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        }
        if (core_ != nullptr) {
            spa_hook_remove(&core_listener_);
            pw_core_disconnect(core_);
        }
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
}

std::vector<SinkInfo> PipewireClient::sinks() const {
    std::vector<SinkInfo> list;
    for (const auto& [id, node] : nodes_) {
        if (!node->known) continue;
        if (node->info.is_default)
            list.insert(list.begin(), node->info);
        else
            list.push_back(node->info);
    }
    return list;
}

bool PipewireClient::roundtrip(std::chrono::milliseconds limit) {
    if (lost_) return false;
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    return wait_locked([&] { return lost_ || done_seq_ == seq; }, limit) && !lost_;
}

bool PipewireClient::wait_locked(const std::function<bool()>& done,
                                 std::chrono::milliseconds limit) {
    timespec until{};
    pw_thread_loop_get_time(loop_, &until,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count());
    while (!done()) {
        if (pw_thread_loop_timed_wait_full(loop_, &until) != 0) break;
    }
    return done();
}

void PipewireClient::global(std::uint32_t id, const char* type, const spa_dict* props) {
    const std::string_view kind(type);
    if (kind == PW_TYPE_INTERFACE_Node) {
        const char* media_class = lookup(props, PW_KEY_MEDIA_CLASS);
        if (media_class == nullptr) return;
        const char* name = lookup(props, PW_KEY_NODE_NAME);
        if (std::string_view(media_class) == "Audio/Sink" && name != nullptr) {
            add_sink(id, name);
        } else if (std::string_view(media_class) == "Stream/Output/Audio") {
            add_stream(id);
        }
    } else if (kind == PW_TYPE_INTERFACE_Link) {
        const Link link{.from = node_id(props, PW_KEY_LINK_OUTPUT_NODE),
                        .to = node_id(props, PW_KEY_LINK_INPUT_NODE)};
        if (link.from == SPA_ID_INVALID || link.to == SPA_ID_INVALID) return;
        links_[id] = link;
        playing();
    } else if (kind == PW_TYPE_INTERFACE_Metadata && metadata_ == nullptr) {
        const char* name = lookup(props, PW_KEY_METADATA_NAME);
        if (name == nullptr || std::string_view(name) != "default") return;
        metadata_ = static_cast<pw_proxy*>(
            pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (metadata_ == nullptr) return;
        metadata_id_ = id;
        static const pw_metadata_events METADATA_EVENTS = {
            .version = PW_VERSION_METADATA_EVENTS,
            .property =
                [](void* data, std::uint32_t subject, const char* key, const char*,
                   const char* value) {
                    auto* c = static_cast<PipewireClient*>(data);
                    if (subject != PW_ID_CORE) return 0;
                    if (key == nullptr || std::string_view(key) == "default.audio.sink") {
                        c->set_default(key == nullptr ? std::string() : json_name(value));
                    }
                    return 0;
                },
        };
        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(metadata_), &metadata_listener_,
                                 &METADATA_EVENTS, this);
    }
}

void PipewireClient::add_sink(std::uint32_t id, const char* name) {
    auto node = std::make_unique<Node>();
    node->info.id = id;
    node->info.name = name;
    node->info.is_default = node->info.name == default_sink_;
    node->proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (node->proxy == nullptr) return;
    node->owner = this;
    static const pw_node_events NODE_EVENTS = {
        .version = PW_VERSION_NODE_EVENTS,
        .info =
            [](void* data, const pw_node_info* info) {
                auto* n = static_cast<Node*>(data);
                if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0) return;
                const char* position = lookup(info->props, SPA_KEY_AUDIO_POSITION);
                const audio::ChannelLayout layout =
                    position != nullptr ? parse_positions(position) : audio::ChannelLayout{};
                if (n->known && layout == n->info.layout) return;
                // From here on the sink is listed, in the layout the server told.
                n->info.layout = layout;
                n->known = true;
                n->owner->changed();
            },
    };
    pw_node_add_listener(reinterpret_cast<pw_node*>(node->proxy), &node->listener, &NODE_EVENTS,
                         node.get());
    nodes_.emplace(id, std::move(node));
}

// Its format tells its own channels: those of the sound it plays, before the server fits it
// to the sink (where a stereo stream on a surround sink is upmixed).
void PipewireClient::add_stream(std::uint32_t id) {
    auto stream = std::make_unique<Node>();
    stream->owner = this;
    stream->proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (stream->proxy == nullptr) return;
    static const pw_node_events STREAM_EVENTS = {
        .version = PW_VERSION_NODE_EVENTS,
        .param =
            [](void* data, int, std::uint32_t param_id, std::uint32_t, std::uint32_t,
               const spa_pod* param) {
                auto* s = static_cast<Node*>(data);
                if (param_id != SPA_PARAM_Format) return;
                const std::uint32_t channels = format_channels(param);
                if (channels == s->channels) return;
                s->channels = channels;
                s->owner->playing();
            },
    };
    auto* node = reinterpret_cast<pw_node*>(stream->proxy);
    pw_node_add_listener(node, &stream->listener, &STREAM_EVENTS, stream.get());
    std::uint32_t format = SPA_PARAM_Format;
    pw_node_subscribe_params(node, &format, 1);
    streams_.emplace(id, std::move(stream));
}

std::optional<bool> PipewireClient::plays_at_most_stereo(std::uint32_t reader) const {
    bool linked = false;
    for (const auto& [id, from_sink] : links_) {
        if (from_sink.to != reader) continue;
        const auto sink = nodes_.find(from_sink.from);
        if (sink == nodes_.end()) continue;
        linked = true;
        for (const auto& [other, into] : links_) {
            if (into.to != sink->first) continue;
            const auto stream = streams_.find(into.from);
            if (stream == streams_.end()) return false;
            const std::uint32_t channels = stream->second->channels;
            if (channels == 0 || channels > 2) return false;
        }
    }
    if (!linked) return std::nullopt;
    return true;
}

void PipewireClient::set_default(std::string name) {
    if (name == default_sink_) return;
    default_sink_ = std::move(name);
    for (auto& [id, node] : nodes_) node->info.is_default = node->info.name == default_sink_;
    changed();
}

void PipewireClient::global_remove(std::uint32_t id) {
    if (id == metadata_id_ && metadata_ != nullptr) {
        spa_hook_remove(&metadata_listener_);
        pw_proxy_destroy(metadata_);
        metadata_ = nullptr;
        return;
    }
    if (links_.erase(id) != 0) {
        playing();
        return;
    }
    if (const auto stream = streams_.find(id); stream != streams_.end()) {
        streams_.erase(stream);
        playing();
        return;
    }
    const auto found = nodes_.find(id);
    if (found == nodes_.end()) return;
    const bool listed = found->second->known;
    nodes_.erase(found);
    if (listed) changed();
}

}  // namespace platform::pipewire
