/* The capture bridge: plain C entry points over the capture platform.
 *
 * Every platform object crosses this boundary as an opaque, reference-counted handle.
 * A handle that a function returns, or hands to a callback as a result, carries one
 * reference that now belongs to the receiver. Texts are NUL-terminated UTF-8 and valid
 * only during the call that passes them. Counts and indices are signed 64-bit. */
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sc_shareable_content sc_shareable_content;
typedef struct sc_display sc_display;
typedef struct sc_window sc_window;
typedef struct sc_running_application sc_running_application;
typedef struct sc_content_filter sc_content_filter;
typedef struct sc_stream_configuration sc_stream_configuration;
typedef struct sc_stream sc_stream;
typedef struct sc_dispatch_queue sc_dispatch_queue;
typedef struct cm_sample_buffer cm_sample_buffer;
typedef struct cm_block_buffer cm_block_buffer;

/* ---- shareable content and content filter ---- */

typedef void (*sc_shareable_content_callback)(sc_shareable_content* content, const char* error,
                                              void* user_data);

void sc_shareable_content_get_with_options(bool exclude_desktop_windows,
                                           bool on_screen_windows_only,
                                           sc_shareable_content_callback callback, void* user_data);
int64_t sc_shareable_content_get_displays_count(sc_shareable_content* content);
sc_display* sc_shareable_content_get_display_at(sc_shareable_content* content, int64_t index);
void sc_shareable_content_release(sc_shareable_content* content);

sc_display* sc_display_retain(sc_display* display);
void sc_display_release(sc_display* display);
sc_window* sc_window_retain(sc_window* window);
void sc_window_release(sc_window* window);
sc_running_application* sc_running_application_retain(sc_running_application* application);
void sc_running_application_release(sc_running_application* application);

sc_content_filter* sc_content_filter_create_with_desktop_independent_window(sc_window* window);
sc_content_filter* sc_content_filter_create_with_display_excluding_windows(
    sc_display* display, sc_window* const* windows, int64_t window_count);
sc_content_filter* sc_content_filter_create_with_display_including_windows(
    sc_display* display, sc_window* const* windows, int64_t window_count);
sc_content_filter* sc_content_filter_create_with_display_including_applications_excepting_windows(
    sc_display* display, sc_running_application* const* applications, int64_t application_count,
    sc_window* const* windows, int64_t window_count);
sc_content_filter* sc_content_filter_create_with_display_excluding_applications_excepting_windows(
    sc_display* display, sc_running_application* const* applications, int64_t application_count,
    sc_window* const* windows, int64_t window_count);
void sc_content_filter_release(sc_content_filter* filter);

/* ---- stream configuration and stream lifecycle ---- */

sc_stream_configuration* sc_stream_configuration_create(void);
void sc_stream_configuration_set_captures_audio(sc_stream_configuration* configuration, bool value);
void sc_stream_configuration_set_sample_rate(sc_stream_configuration* configuration, int64_t value);
void sc_stream_configuration_set_channel_count(sc_stream_configuration* configuration,
                                               int64_t value);
void sc_stream_configuration_set_excludes_current_process_audio(
    sc_stream_configuration* configuration, bool value);
void sc_stream_configuration_release(sc_stream_configuration* configuration);

typedef void (*sc_stream_error_callback)(void* context, int32_t code, const char* message);
typedef void (*sc_stream_sample_buffer_callback)(void* context, cm_sample_buffer* sample_buffer,
                                                 int32_t output_type);
typedef void (*sc_context_callback)(void* context);
typedef void (*sc_completion_callback)(void* user_data, bool success, const char* error);

sc_stream* sc_stream_create(sc_content_filter* filter, sc_stream_configuration* configuration,
                            void* context, sc_stream_error_callback error_callback,
                            sc_stream_sample_buffer_callback sample_buffer_callback,
                            sc_context_callback context_retain,
                            sc_context_callback context_release);
void sc_stream_start_capture(sc_stream* stream, void* user_data, sc_completion_callback callback);
void sc_stream_stop_capture(sc_stream* stream, void* user_data, sc_completion_callback callback);
void sc_stream_release(sc_stream* stream);

/* ---- stream output dispatch ---- */

bool sc_stream_add_stream_output(sc_stream* stream, int32_t output_type);
bool sc_stream_add_stream_output_with_queue(sc_stream* stream, int32_t output_type,
                                            sc_dispatch_queue* queue);
bool sc_stream_remove_stream_output(sc_stream* stream, int32_t output_type);

/* A serial queue a caller may hand to sc_stream_add_stream_output_with_queue. */
sc_dispatch_queue* sc_dispatch_queue_create(const char* label);
void sc_dispatch_queue_release(sc_dispatch_queue* queue);

/* ---- sample buffer audio access ---- */

typedef struct AudioBufferBridge {
    uint32_t number_channels;
    uint32_t data_bytes_size;
    void* data_ptr;
} AudioBufferBridge;

/* On failure every output is zero or null. The descriptor array is allocated with malloc
 * and belongs to the caller, as does the one block-buffer reference. */
void cm_sample_buffer_get_audio_buffer_list(cm_sample_buffer* sample_buffer, uint32_t* num_buffers,
                                            AudioBufferBridge** buffers_ptr, size_t* buffers_len,
                                            cm_block_buffer** block_buffer);
cm_sample_buffer* cm_sample_buffer_retain(cm_sample_buffer* sample_buffer);
void cm_sample_buffer_release(cm_sample_buffer* sample_buffer);
void cm_block_buffer_release(cm_block_buffer* block_buffer);

/* ---- platform lifetime ---- */

/* Drops the backend in use, then joins the platform's worker threads (not when called on
 * one of them). Call it once every capture has stopped. Requests made afterwards start new
 * workers and fail for want of a backend. The sound-server backend is chosen by
 * sc_platform_use_sound_server (sound_server_bridge.h). */
void sc_platform_shutdown(void);

#ifdef __cplusplus
}
#endif
