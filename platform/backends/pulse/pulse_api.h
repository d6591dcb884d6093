#pragma once

// libpulse, opened at run time: the helper starts and answers on a machine without it.
// Every library function the backend calls is listed here and is a pointer of the same name in
// this namespace (see platform/backends/shared_library.h); load() fills them.

#include <expected>
#include <string>

#include <pulse/pulseaudio.h>

#include "platform/backends/shared_library.h"

#define VMAH_PULSE_FUNCTIONS(X)          \
    X(pa_channel_map_init_extend)        \
    X(pa_channel_map_valid)              \
    X(pa_context_connect)                \
    X(pa_context_disconnect)             \
    X(pa_context_errno)                  \
    X(pa_context_get_server_info)        \
    X(pa_context_get_sink_info_list)     \
    X(pa_context_get_state)              \
    X(pa_context_load_cookie_from_file)  \
    X(pa_context_new)                    \
    X(pa_context_rttime_new)             \
    X(pa_context_set_state_callback)     \
    X(pa_context_set_subscribe_callback) \
    X(pa_context_subscribe)              \
    X(pa_context_unref)                  \
    X(pa_frame_size)                     \
    X(pa_operation_cancel)               \
    X(pa_operation_get_state)            \
    X(pa_operation_unref)                \
    X(pa_rtclock_now)                    \
    X(pa_stream_connect_record)          \
    X(pa_stream_disconnect)              \
    X(pa_stream_drop)                    \
    X(pa_stream_get_buffer_attr)         \
    X(pa_stream_get_sample_spec)         \
    X(pa_stream_get_state)               \
    X(pa_stream_get_timing_info)         \
    X(pa_stream_new)                     \
    X(pa_stream_peek)                    \
    X(pa_stream_set_buffer_attr)         \
    X(pa_stream_set_overflow_callback)   \
    X(pa_stream_set_read_callback)       \
    X(pa_stream_set_state_callback)      \
    X(pa_stream_set_suspended_callback)  \
    X(pa_stream_unref)                   \
    X(pa_stream_update_timing_info)      \
    X(pa_strerror)                       \
    X(pa_threaded_mainloop_free)         \
    X(pa_threaded_mainloop_get_api)      \
    X(pa_threaded_mainloop_lock)         \
    X(pa_threaded_mainloop_new)          \
    X(pa_threaded_mainloop_signal)       \
    X(pa_threaded_mainloop_start)        \
    X(pa_threaded_mainloop_stop)         \
    X(pa_threaded_mainloop_unlock)       \
    X(pa_threaded_mainloop_wait)         \
    X(pa_usec_to_bytes)

namespace platform::pulse {

VMAH_PULSE_FUNCTIONS(VMAH_LIBRARY_POINTER)

// Opens the library, once per process; later calls repeat the outcome.
std::expected<void, std::string> load();

}  // namespace platform::pulse
