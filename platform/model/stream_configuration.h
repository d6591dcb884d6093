// SCStreamConfiguration: a stream's settings. Values are stored as given, without range
// checks; a stream takes a copy of them when it is created.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/model/object.h"
#include "platform/model/ref.h"

namespace platform {

// Four-character pixel format code 'BGRA'.
inline constexpr std::uint32_t kCVPixelFormatType_32BGRA = 0x42475241;

struct StreamSettings {
    std::uint32_t pixelFormat = kCVPixelFormatType_32BGRA;
    bool capturesAudio = false;
    std::int64_t sampleRate = 48000;
    std::int64_t channelCount = 2;
    bool excludesCurrentProcessAudio = false;
};

class SCStreamConfiguration final : public Object {
public:
    static Ref<SCStreamConfiguration> init();

    std::uint32_t pixelFormat() const;
    void setPixelFormat(std::uint32_t value);
    bool capturesAudio() const;
    void setCapturesAudio(bool value);
    std::int64_t sampleRate() const;
    void setSampleRate(std::int64_t value);
    std::int64_t channelCount() const;
    void setChannelCount(std::int64_t value);
    bool excludesCurrentProcessAudio() const;
    void setExcludesCurrentProcessAudio(bool value);

    // All settings at once, consistently.
    StreamSettings settings() const;

private:
    SCStreamConfiguration() noexcept;
    ~SCStreamConfiguration() override = default;

    mutable std::mutex mutex_;
    StreamSettings settings_;
};

}  // namespace platform
