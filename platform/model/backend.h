// The backend seam: where displays and audio come from.
//
// The generic object model knows nothing of any sound system; a backend is one class that
// implements this interface, installed process-wide in code (the helper installs the
// sound-server one, tests install the scripted one). Every call may come from any thread
// and must not block for long. Replies and sink calls may happen on any thread, including
// inside the call that asked for them; the platform moves all reactions to its workers.
//
// The capture path's threads:
// - A sound server's real-time thread (the one that hands a recorder its buffers at the
//   server's pace; the server keeps nothing for a client late for its cycle) only copies
//   the buffer and its time into a ring allocated beforehand and wakes the loop thread below.
//   It takes no lock, allocates nothing, makes no call that may block, calls no
//   CaptureSink method and posts no platform work (so it never starts a thread). It calls
//   mark_realtime_thread() (runtime/runtime.h) first; debug builds then check this rule where
//   they can.
// - A sound server's own loop thread (its client library's, owned and joined by the recorder)
//   takes the backend's decisions (which sink to record, when to open a stream again) and does
//   the rest: the gap rule, the mixer, the fragment assembly and the CaptureSink calls. It may
//   allocate and take short locks; it never waits on the server.
// - A Capture's stop() waits for the server's threads to finish; it is never called on any of
//   them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/model/content_description.h"
#include "platform/model/error.h"
#include "platform/model/sample_buffer.h"
#include "platform/model/stream_output.h"
#include "platform/runtime/reply.h"

namespace platform {

// A failure as a backend reports it: a code and the library's own text, maybe followed by ": "
// and the backend's detail. The code of a condition the helper names in its own words (a
// refused or lost connection, a time limit, a sink that is gone, values it cannot record) is
// that condition's negative errno, whichever library reported it; any other is the library's
// own. A failure of the helper's own has code 0 and its words as text.
struct BackendError {
    BackendError(std::string own = {}) : text(std::move(own)) {}  // NOLINT: implicit
    BackendError(const char* own) : text(own) {}                  // NOLINT: implicit
    BackendError(int failed, std::string library_text)
        : code(failed), text(std::move(library_text)) {}
    friend bool operator==(const BackendError& e, std::string_view text) { return e.text == text; }

    int code = 0;
    std::string text;
};

// The stream's error for a failure, described in the helper's words for the conditions it names
// (a refused or lost connection, a time limit, a sink that is gone, values it cannot record),
// whichever library reports them; any other failure in the library's text.
Ref<NSError> stream_error(std::int64_t code, const BackendError& failure);

// Success, or the failure.
using Outcome = std::expected<void, BackendError>;
using ContentResult = std::expected<ContentDescription, BackendError>;

// What a capture records: the display's source and the configuration's values, unchanged.
struct CaptureParams {
    std::string source;
    std::int64_t sample_rate = 0;
    std::int64_t channel_count = 0;
    bool excludes_current_process_audio = false;
};

// Whether a backend can record the rate and the channel count asked for (each at least 1, at
// most the backend's limit); if not, its library's `invalid` error with the values after it.
std::expected<void, BackendError> check_format(const CaptureParams& params, std::int64_t max_rate,
                                               std::int64_t max_channels, BackendError invalid);

// Where a running capture hands its audio and its failure. Implemented by the platform;
// thread-safe and non-blocking; calls after the capture stopped or failed, or after its
// stream is gone, are ignored.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    // Room for the next fragment, `samples` interleaved 32-bit floats, inside the audio sample
    // buffer it will become: the capture writes its fragment there and then calls audio().
    // Rooms are used again once the outputs are done with them; a room not handed over is
    // taken back by the next call.
    virtual std::span<float> audio_room(std::size_t samples, std::uint32_t channels,
                                        std::int64_t sample_rate) = 0;
    // The first `samples` floats of the room given last are a fragment: queued for the
    // stream's audio outputs without a copy (digital silence shares a block of zeros instead).
    virtual void audio(std::size_t samples) = 0;
    // The capture failed while running. Only the first call of a capture counts.
    virtual void failed(BackendError error) = 0;
};

// One recording, owned by the platform from start until it has stopped, failed, or its
// stream went away. The destructor ends recording and releases everything; it is called on
// a platform worker or a client thread, never on a thread the backend delivered from.
class Capture {
public:
    virtual ~Capture() = default;
    // Called at most once, only after the start succeeded. Answer once no further audio will
    // reach the sink.
    virtual void stop(Reply<Outcome> stopped) = 0;
};

class Backend {
public:
    virtual ~Backend() = default;

    // Answer once with the displays (default first), or with the failure's text. Must answer
    // within a bounded time.
    virtual void get_content(Reply<ContentResult> reply) = 0;

    // Starts recording for params into sink; answers started once. May return null only
    // when it answers with a failure.
    virtual std::unique_ptr<Capture> start_capture(const CaptureParams& params,
                                                   std::shared_ptr<CaptureSink> sink,
                                                   Reply<Outcome> started) = 0;

    // Whether a stream may register an output of this type (asked at addStreamOutput).
    virtual Outcome admit_output(SCStreamOutputType type) {
        (void)type;
        return {};
    }
};

// Installs backend for every later request (null uninstalls). Requests made without a
// backend fail with a description saying so.
void install_backend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> installed_backend();

}  // namespace platform
