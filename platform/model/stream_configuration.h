// SCStreamConfiguration: a stream's settings. Values are stored as given, without range
// checks; a stream takes a copy of them when it is created.
#pragma once

#include <cstddef>
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
    std::size_t width = 1920;
    std::size_t height = 1080;
    std::int64_t queueDepth = 8;
    bool showsCursor = true;
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
    std::size_t width() const;
    void setWidth(std::size_t value);
    std::size_t height() const;
    void setHeight(std::size_t value);
    std::int64_t queueDepth() const;
    void setQueueDepth(std::int64_t value);
    bool showsCursor() const;
    void setShowsCursor(bool value);

    // All settings at once, consistently.
    StreamSettings settings() const;

private:
    SCStreamConfiguration() noexcept;
    ~SCStreamConfiguration() override = default;

    mutable std::mutex mutex_;
    StreamSettings settings_;
};

}  // namespace platform
