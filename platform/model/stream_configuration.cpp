#include "platform/model/stream_configuration.h"

namespace platform {

SCStreamConfiguration::SCStreamConfiguration() noexcept : Object(Kind::StreamConfiguration) {}

Ref<SCStreamConfiguration> SCStreamConfiguration::init() {
    return Ref<SCStreamConfiguration>::adopt(new SCStreamConfiguration);
}

StreamSettings SCStreamConfiguration::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

#define VMAH_SETTING(Type, getter, setter)           \
    Type SCStreamConfiguration::getter() const {     \
        std::lock_guard lock(mutex_);                \
        return settings_.getter;                     \
    }                                                \
    void SCStreamConfiguration::setter(Type value) { \
        std::lock_guard lock(mutex_);                \
        settings_.getter = value;                    \
    }

VMAH_SETTING(std::uint32_t, pixelFormat, setPixelFormat)
VMAH_SETTING(bool, capturesAudio, setCapturesAudio)
VMAH_SETTING(std::int64_t, sampleRate, setSampleRate)
VMAH_SETTING(std::int64_t, channelCount, setChannelCount)
VMAH_SETTING(bool, excludesCurrentProcessAudio, setExcludesCurrentProcessAudio)

#undef VMAH_SETTING

}  // namespace platform
