// The bridge's side table of stream configurations: per configuration object, the number of
// bridge-level references and the values the platform object has no place for.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/model/stream_configuration.h"

namespace bridge {

struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
};

struct StreamConfigurationValues {
    std::optional<Color> backgroundColor;
    std::optional<std::string> colorSpaceName;
    std::optional<std::string> colorMatrix;
};

struct StreamConfigurationStorageEntry {
    int64_t refCount = 0;
    StreamConfigurationValues values;
};

// Keyed by object identity; only touched under streamConfigurationStorageLock.
extern std::unordered_map<const platform::SCStreamConfiguration*, StreamConfigurationStorageEntry>
    streamConfigurationStorage;
extern std::mutex streamConfigurationStorageLock;

}  // namespace bridge
