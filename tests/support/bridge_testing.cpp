#include "tests/support/bridge_testing.h"

#include <mutex>

#include "capture/bridge/handles.h"
#include "capture/bridge/stream_configuration_storage.h"
#include "capture/bridge/stream_state.h"

namespace bridge_testing {

std::optional<int64_t> configuration_storage_count(sc_stream_configuration* configuration) {
    const std::lock_guard lock(bridge::streamConfigurationStorageLock);
    const auto found = bridge::streamConfigurationStorage.find(bridge::from_handle(configuration));
    if (found == bridge::streamConfigurationStorage.end()) return std::nullopt;
    return found->second.refCount;
}

std::size_t configuration_storage_size() {
    const std::lock_guard lock(bridge::streamConfigurationStorageLock);
    return bridge::streamConfigurationStorage.size();
}

bool configuration_storage_has_values(sc_stream_configuration* configuration) {
    const std::lock_guard lock(bridge::streamConfigurationStorageLock);
    const auto found = bridge::streamConfigurationStorage.find(bridge::from_handle(configuration));
    if (found == bridge::streamConfigurationStorage.end()) return false;
    const auto& values = found->second.values;
    return values.backgroundColor || values.colorSpaceName || values.colorMatrix;
}

ConfigurationValues configuration_values(sc_stream_configuration* configuration) {
    const auto settings = bridge::from_handle(configuration)->settings();
    return {settings.pixelFormat, settings.capturesAudio, settings.sampleRate,
            settings.channelCount, settings.excludesCurrentProcessAudio};
}

bool has_stream_state(sc_stream* stream) {
    return bridge::find_stream_state(bridge::from_handle(stream)) != nullptr;
}

std::size_t stream_state_count() {
    const std::lock_guard lock(bridge::streamStatesLock);
    return bridge::streamStates.size();
}

std::vector<int32_t> stream_output_types(sc_stream* stream) {
    const auto state = bridge::find_stream_state(bridge::from_handle(stream));
    if (!state) return {};
    const std::lock_guard lock(state->lock);
    return {state->outputTypes.begin(), state->outputTypes.end()};
}

}  // namespace bridge_testing
