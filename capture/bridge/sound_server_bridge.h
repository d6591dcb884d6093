/* The sound-server backend of the capture platform, behind the bridge. It lives in a library
 * of its own (vmah_bridge_sound_server) so that only what records from the real sound server
 * links the server's client library. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Every later request of the platform takes its displays and audio from the desktop's sound
 * server: one display per output device, the default first. Replaces any backend in use;
 * sc_platform_shutdown drops it again. */
void sc_platform_use_sound_server(void);

#ifdef __cplusplus
}
#endif
