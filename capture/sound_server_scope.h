// The platform for the length of a program's run: displays and audio come from the desktop's
// sound server, and the platform's worker threads are joined when the scope ends.
#pragma once

namespace capture {

// One per process, made before the first capture call and ended after the last one, every
// capture stopped and every handle released (link vmah_capture_sound_server). Ending it
// joins the platform's threads there and then, rather than at exit while static objects
// they may still touch are being destroyed. A process that ends without unwinding (_exit)
// joins nothing, and need not.
class SoundServerScope {
public:
    SoundServerScope();
    ~SoundServerScope();
    SoundServerScope(const SoundServerScope&) = delete;
    SoundServerScope& operator=(const SoundServerScope&) = delete;
};

}  // namespace capture
