#pragma once

// For tests only (link vmah_bridge_testing): what the bridge keeps out of sight of its C
// interface. The side-table count of a configuration, whether a stream still has its
// record, the output types registered for it, and the values a configuration carries on
// the platform side.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "capture/bridge/bridge.h"

namespace bridge_testing {

// The configuration's side-table count, absent when it has no entry.
std::optional<int64_t> configuration_storage_count(sc_stream_configuration* configuration);
// Entries in the configuration side table, for all configurations.
std::size_t configuration_storage_size();
// Whether the entry holds any of the values the platform object has no place for.
bool configuration_storage_has_values(sc_stream_configuration* configuration);

struct ConfigurationValues {
    uint32_t pixel_format;
    bool captures_audio;
    int64_t sample_rate;
    int64_t channel_count;
    bool excludes_current_process_audio;
};
ConfigurationValues configuration_values(sc_stream_configuration* configuration);

// Whether sc_stream_release has not yet removed the stream's record.
bool has_stream_state(sc_stream* stream);
// Records in the stream table, for all streams.
std::size_t stream_state_count();
// Output types registered with the platform for the stream, ascending; empty without record.
std::vector<int32_t> stream_output_types(sc_stream* stream);

}  // namespace bridge_testing
