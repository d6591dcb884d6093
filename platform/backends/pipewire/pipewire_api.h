#pragma once

// libpipewire, opened at run time: the helper starts and answers on a machine without it.
// Every library function the backend calls is listed here and is a pointer of the same name in
// this namespace (see platform/backends/shared_library.h); load() fills them.

#include <expected>
#include <string>

#include <pipewire/impl-module.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/raw.h>

#include "platform/backends/shared_library.h"

#define VMAH_PIPEWIRE_FUNCTIONS(X)    \
    X(pw_init)                        \
    X(pw_thread_loop_new)             \
    X(pw_thread_loop_destroy)         \
    X(pw_thread_loop_start)           \
    X(pw_thread_loop_stop)            \
    X(pw_thread_loop_lock)            \
    X(pw_thread_loop_unlock)          \
    X(pw_thread_loop_signal)          \
    X(pw_thread_loop_get_loop)        \
    X(pw_thread_loop_get_time)        \
    X(pw_thread_loop_timed_wait_full) \
    X(pw_context_new)                 \
    X(pw_context_destroy)             \
    X(pw_context_add_spa_lib)         \
    X(pw_context_load_module)         \
    X(pw_context_connect)             \
    X(pw_context_get_data_loop)       \
    X(pw_data_loop_start)             \
    X(pw_data_loop_stop)              \
    X(pw_core_disconnect)             \
    X(pw_proxy_destroy)               \
    X(pw_properties_new)              \
    X(pw_properties_set)              \
    X(pw_stream_new)                  \
    X(pw_stream_destroy)              \
    X(pw_stream_add_listener)         \
    X(pw_stream_connect)              \
    X(pw_stream_dequeue_buffer)       \
    X(pw_stream_get_time_n)           \
    X(pw_stream_get_node_id)          \
    X(pw_stream_queue_buffer)

namespace platform::pipewire {

VMAH_PIPEWIRE_FUNCTIONS(VMAH_LIBRARY_POINTER)

// Opens the library and initialises it, once per process; later calls repeat the outcome.
std::expected<void, std::string> load();

}  // namespace platform::pipewire
