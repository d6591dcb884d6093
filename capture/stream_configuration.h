// A stream's settings object.
#pragma once

#include <cstdint>

#include "capture/bridge/bridge.h"
#include "capture/owned_handle.h"

namespace capture {

// Values are passed to the platform unchanged: nothing is range-checked or clamped here.
class SCStreamConfiguration {
public:
    // A new platform configuration (pixel format BGRA, platform defaults otherwise).
    SCStreamConfiguration();
    // Takes over the reference `adopted` carries.
    explicit SCStreamConfiguration(sc_stream_configuration* adopted) : handle_(adopted) {}

    SCStreamConfiguration with_captures_audio(bool captures_audio) &&;
    SCStreamConfiguration with_excludes_current_process_audio(bool excludes) &&;
    void set_sample_rate(int64_t sample_rate);
    void set_channel_count(int64_t channel_count);

    sc_stream_configuration* raw() const { return handle_.get(); }

private:
    OwnedHandle<sc_stream_configuration, sc_stream_configuration_release> handle_;
};

}  // namespace capture
