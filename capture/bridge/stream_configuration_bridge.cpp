// Stream configurations: creation with the BGRA pixel format, the audio setters, and the
// side-table count that follows the bridge-level references.
#include <mutex>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "capture/bridge/stream_configuration_storage.h"
#include "platform/model/ref.h"
#include "platform/model/stream_configuration.h"

namespace bridge {

std::unordered_map<const platform::SCStreamConfiguration*, StreamConfigurationStorageEntry>
    streamConfigurationStorage;
std::mutex streamConfigurationStorageLock;

}  // namespace bridge

using bridge::from_handle;

extern "C" {

sc_stream_configuration* sc_stream_configuration_create(void) {
    auto configuration = platform::SCStreamConfiguration::init();
    configuration->setPixelFormat(platform::kCVPixelFormatType_32BGRA);
    {
        const std::lock_guard lock(bridge::streamConfigurationStorageLock);
        bridge::streamConfigurationStorage[configuration.get()].refCount += 1;
    }
    return bridge::handle_cast<sc_stream_configuration>(configuration.leak());
}

void sc_stream_configuration_set_captures_audio(sc_stream_configuration* configuration,
                                                bool value) {
    if (configuration != nullptr) from_handle(configuration)->setCapturesAudio(value);
}

void sc_stream_configuration_set_sample_rate(sc_stream_configuration* configuration,
                                             int64_t value) {
    if (configuration != nullptr) from_handle(configuration)->setSampleRate(value);
}

void sc_stream_configuration_set_channel_count(sc_stream_configuration* configuration,
                                               int64_t value) {
    if (configuration != nullptr) from_handle(configuration)->setChannelCount(value);
}

void sc_stream_configuration_set_excludes_current_process_audio(
    sc_stream_configuration* configuration, bool value) {
    if (configuration != nullptr) from_handle(configuration)->setExcludesCurrentProcessAudio(value);
}

void sc_stream_configuration_release(sc_stream_configuration* configuration) {
    if (configuration == nullptr) return;
    platform::SCStreamConfiguration* const object = from_handle(configuration);
    {
        const std::lock_guard lock(bridge::streamConfigurationStorageLock);
        const auto entry = bridge::streamConfigurationStorage.find(object);
        if (entry != bridge::streamConfigurationStorage.end()) {
            if (entry->second.refCount <= 1) {
                bridge::streamConfigurationStorage.erase(entry);
            } else {
                entry->second.refCount -= 1;
            }
        }
    }
    object->release();
}

}  // extern "C"
