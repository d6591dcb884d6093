#pragma once

// The page writer's checker: a sink that fails on demand, and a comparison of what the
// writer wrote with the packets it was handed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "ogg/packet_writer.h"

namespace test_support {

struct SinkError {
    int code = 0;
    friend bool operator==(const SinkError&, const SinkError&) = default;
};

// Collects everything in memory. Once armed, it lets `succeed` more writes through,
// then fails `failures` writes in a row. A failing write first takes `partial` bytes of
// its range (always fewer than the whole range) and reports them, as a file that fills
// up does; the write for the rest then fails.
struct TestSink {
    using Error = SinkError;
    std::vector<std::uint8_t> bytes;
    std::size_t succeed = 0;
    std::size_t failures = 0;
    std::size_t partial = 0;
    int code = 0;
    bool torn = false;  // the failing write has taken its part

    void fail(std::size_t after, std::size_t times, std::size_t taken = 0, int error_code = 1) {
        succeed = after;
        failures = times;
        partial = taken;
        code = error_code;
        torn = false;
    }

    std::expected<std::size_t, SinkError> write_some(std::span<const std::uint8_t> data) {
        const bool failing = failures > 0 && succeed == 0;
        std::size_t take = data.size();
        if (failing) {
            take = torn ? 0 : std::min(partial, data.empty() ? 0 : data.size() - 1);
            torn = take > 0;
            if (take == 0) {
                --failures;
                return std::unexpected(SinkError{code});
            }
        } else if (failures > 0) {
            --succeed;
        }
        bytes.insert(bytes.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
        return take;
    }
};

struct SentPacket {
    std::uint32_t serial = 0;
    std::vector<std::uint8_t> bytes;
    ogg::PacketEnd directive = ogg::PacketEnd::Normal;
    std::uint64_t granule = 0;
};

enum class Paging {
    // Every page is cut exactly where the writer's rules put it, the sink never failed,
    // and the stream holds nothing but pages.
    Strict,
    // The sink failed on the way: flush/end-of-stream cuts are not checked; data, granules,
    // numbering and a stream of nothing but whole pages still are.
    AfterFailures,
};

// Whether the page writer may refuse the next packet of `serial`, told from outside: the sink
// holds part of a page (which holds every stream), or the packets of `serial` in `sent` need
// 255 lacing values more than the whole pages in the sink carry (a full page waits to go out).
bool may_refuse(std::span<const std::uint8_t> bytes, const std::vector<SentPacket>& sent,
                std::uint32_t serial);

// Empty when `bytes`, read back with libogg (which verifies every page checksum), hold
// exactly the packets that were handed to the page writer, paged by its rules; otherwise a
// description of the first mismatch.
std::string verify(std::span<const std::uint8_t> bytes, const std::vector<SentPacket>& sent,
                   Paging paging);

}  // namespace test_support
