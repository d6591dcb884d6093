#pragma once

// Gathers the server's chunks of whole frames into fragments: a hole becomes silence of the
// same length, and a fragment is handed over once it holds its set number of frames. flush()
// hands over what is gathered so far.
//
// The server sends small chunks so that the sink renders close to real time; handing them
// over in larger fragments wakes the consumer less often.
//
// A fragment is gathered where its consumer wants it (the room of the sample buffer it
// becomes, say), so the server's bytes are copied once on their way there: each fragment
// handed over lies at the start of the room taken last.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace platform::audio {

class FrameAssembler {
public:
    // 32-bit float samples, interleaved, valid for the call; first_frame counts the frames
    // handed over before them.
    using Sink = std::function<void(std::span<const float> interleaved, std::uint64_t first_frame)>;
    // Room for the next fragment, `samples` floats, taken when its first byte comes; the
    // fragment is handed over inside it. An empty or short room: the assembler's own is used.
    using Room = std::function<std::span<float>(std::size_t samples)>;

    FrameAssembler(std::uint32_t channels, std::size_t fragment_frames, Room room = nullptr);

    // `bytes` bytes of samples, whole frames; null data stands for that many bytes of silence.
    void push(const void* data, std::size_t bytes, const Sink& sink);

    // Hands over the frames gathered so far.
    void flush(const Sink& sink);

private:
    std::byte* room();
    void hand_over(std::size_t frames, const Sink& sink);

    std::uint32_t channels_;
    std::size_t frame_bytes_;
    std::size_t fragment_bytes_;
    Room take_room_;
    float* room_ = nullptr;   // the fragment being gathered, once its first byte came
    std::vector<float> own_;  // the room used without a consumer's, allocated once
    std::size_t gathered_bytes_ = 0;
    std::uint64_t frames_handed_ = 0;
};

}  // namespace platform::audio
