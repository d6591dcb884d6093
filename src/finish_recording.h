#pragma once

#include <expected>
#include <optional>
#include <string>

#include "src/writer_slot.h"

namespace helper {

// Reason given when the slot was marked failed while recording.
inline constexpr const char* WRITER_FAILED_REASON = "failed while recording";

// Takes the writer out of the slot and finalises it without the slot's lock. Gives the
// recorded duration in seconds, 0 when the slot was already empty, or the text of why the
// file is not a complete recording: a failed finalisation or a slot marked failed. Such a
// file must not be reported as a success to the parent.
//
// The finalised writer is left in `finished`: its file is complete but still open, and so
// still locked, until the caller destroys it once the parent has been told.
template <class Writer>
std::expected<double, std::string> finish_recording(BasicWriterSlot<Writer>& slot,
                                                    std::optional<Writer>& finished) {
    auto [state, writer] = slot.take();
    switch (state) {
        case BasicWriterSlot<Writer>::Take::Failed:
            return std::unexpected(std::string(WRITER_FAILED_REASON));
        case BasicWriterSlot<Writer>::Take::Empty:
            return 0.0;
        case BasicWriterSlot<Writer>::Take::Taken:
            break;
    }
    auto duration = writer->finalize();
    finished = std::move(writer);
    if (!duration) return std::unexpected(duration.error().to_string());
    return *duration;
}

}  // namespace helper
