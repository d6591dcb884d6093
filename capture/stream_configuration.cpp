#include "capture/stream_configuration.h"

#include <utility>

namespace capture {

SCStreamConfiguration::SCStreamConfiguration() : handle_(sc_stream_configuration_create()) {}

SCStreamConfiguration SCStreamConfiguration::with_captures_audio(bool captures_audio) && {
    sc_stream_configuration_set_captures_audio(raw(), captures_audio);
    return std::move(*this);
}

SCStreamConfiguration SCStreamConfiguration::with_excludes_current_process_audio(bool excludes) && {
    sc_stream_configuration_set_excludes_current_process_audio(raw(), excludes);
    return std::move(*this);
}

void SCStreamConfiguration::set_sample_rate(int64_t sample_rate) {
    sc_stream_configuration_set_sample_rate(raw(), sample_rate);
}

void SCStreamConfiguration::set_channel_count(int64_t channel_count) {
    sc_stream_configuration_set_channel_count(raw(), channel_count);
}

}  // namespace capture
