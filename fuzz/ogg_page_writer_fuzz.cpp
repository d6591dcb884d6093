// Drives PacketWriter with a packet sequence taken from the input, optionally with a
// sink that fails part-way through writes, and reads the result back with libogg.
// Any mismatch aborts.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <span>
#include <vector>

#include "ogg/packet_writer.h"
#include "tests/support/ogg_check.h"

namespace {

using FuzzSink = test_support::TestSink;

constexpr std::array<std::uint32_t, 4> SERIALS{0x4D50EE80u, 0u, 0xFFFFFFFFu, 0x12345678u};
constexpr std::size_t MAX_OPS = 2048;
constexpr std::size_t MAX_PACKET = 70000;
// A last packet that spans pages, so runs with failures end through a cut as well.
constexpr std::size_t TAIL_BYTES = 70000;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "ogg page writer mismatch: %s\n", what);
    std::abort();
}

std::vector<std::uint8_t> make_packet(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed ^ (i * 131) ^ (i >> 8));
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    ogg::PacketWriter<FuzzSink> writer{FuzzSink{}};
    std::vector<test_support::SentPacket> sent;
    std::array<std::uint64_t, SERIALS.size()> granules{};
    std::array<bool, SERIALS.size()> used{};
    bool failures_seen = false;

    for (std::size_t op = 0; op < MAX_OPS && 4 * op + 4 <= input.size(); ++op) {
        const auto bytes = input.subspan(4 * op, 4);
        if ((bytes[0] & 0xF0) == 0xF0) {
            writer.sink().succeed = bytes[1] % 4;
            writer.sink().failures = 1 + bytes[2] % 3;
            writer.sink().partial = std::size_t{bytes[3]} * 3;
            failures_seen = true;
            continue;
        }
        const std::size_t s = bytes[0] & 0x03;
        const auto end = (bytes[0] & 0x0C) == 0x0C   ? ogg::PacketEnd::EndOfStream
                         : (bytes[0] & 0x0C) == 0x08 ? ogg::PacketEnd::FlushPage
                                                     : ogg::PacketEnd::Normal;
        std::size_t length =
            bytes[1] | std::size_t{bytes[2]} << 8 | (std::size_t{bytes[3]} & 1) << 16;
        if ((bytes[0] & 0x30) != 0x30) {
            length &= 0x3FF;  // mostly short packets, so pages fill with many of them
        }
        length %= MAX_PACKET + 1;
        granules[s] += 1 + bytes[3];
        used[s] = true;

        const std::uint32_t serial = SERIALS[s];
        // A full page, or any page partly sent, takes nothing new until it is out.
        const bool full = test_support::may_refuse(writer.sink().bytes, sent, serial);
        const std::uint64_t dropped_before = writer.dropped_packets();
        sent.push_back({serial, make_packet(length, bytes[1]), end, granules[s]});
        if (writer.write_packet(sent.back().bytes, serial, end, granules[s])) {
            continue;
        }
        if (!failures_seen) {
            fail("a healthy sink reported an error");
        }
        // Held for a later page, or dropped whole and counted; the read-back check tells which.
        if (writer.dropped_packets() != dropped_before) {
            if (!full) {
                fail("a packet was dropped although its page could take it");
            }
            sent.pop_back();
        }
    }

    writer.sink().failures = 0;
    for (std::size_t s = 0; s < SERIALS.size(); ++s) {
        if (!used[s]) {
            continue;
        }
        ++granules[s];
        sent.push_back({SERIALS[s], make_packet(failures_seen ? TAIL_BYTES : 0, 7),
                        ogg::PacketEnd::FlushPage, granules[s]});
        if (!writer.write_packet(sent.back().bytes, SERIALS[s], ogg::PacketEnd::FlushPage,
                                 granules[s])) {
            fail("the final flush failed on a healthy sink");
        }
    }

    const auto paging =
        failures_seen ? test_support::Paging::AfterFailures : test_support::Paging::Strict;
    const std::string mismatch = test_support::verify(writer.sink().bytes, sent, paging);
    if (!mismatch.empty()) {
        fail(mismatch.c_str());
    }
    return 0;
}
