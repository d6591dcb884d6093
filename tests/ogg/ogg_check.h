#pragma once

// Reads a byte stream back with libogg, which verifies every page checksum, and
// compares it with the packets that were handed to the page writer. Returns an empty
// string when everything matches, otherwise a description of the first mismatch.

#include <ogg/ogg.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "ogg/packet_writer.h"

namespace ogg_check {

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

namespace detail {

struct SyncState {
    ogg_sync_state state{};
    SyncState() { ogg_sync_init(&state); }
    ~SyncState() { ogg_sync_clear(&state); }
    SyncState(const SyncState&) = delete;
    SyncState& operator=(const SyncState&) = delete;
};

struct StreamRead {
    ogg_stream_state state{};
    long next_page = 0;
    std::size_t next_packet = 0;
    bool previous_page_open = false;  // the previous page ended inside a packet
    explicit StreamRead(std::uint32_t serial) { ogg_stream_init(&state, static_cast<int>(serial)); }
    ~StreamRead() { ogg_stream_clear(&state); }
    StreamRead(const StreamRead&) = delete;
    StreamRead& operator=(const StreamRead&) = delete;
};

inline std::string page_name(std::uint32_t serial, long page) {
    return "serial " + std::to_string(serial) + " page " + std::to_string(page) + ": ";
}

}  // namespace detail

inline std::string verify(std::span<const std::uint8_t> bytes, const std::vector<SentPacket>& sent,
                          Paging paging) {
    const bool strict = paging == Paging::Strict;
    std::map<std::uint32_t, std::vector<const SentPacket*>> expected;
    for (const SentPacket& packet : sent) {
        expected[packet.serial].push_back(&packet);
    }

    detail::SyncState sync;
    if (!bytes.empty()) {
        char* buffer = ogg_sync_buffer(&sync.state, static_cast<long>(bytes.size()));
        std::memcpy(buffer, bytes.data(), bytes.size());
        ogg_sync_wrote(&sync.state, static_cast<long>(bytes.size()));
    }

    std::map<std::uint32_t, detail::StreamRead> streams;
    std::size_t page_bytes = 0;
    ogg_page page;
    for (;;) {
        const int found = ogg_sync_pageout(&sync.state, &page);
        if (found == 0) {
            break;
        }
        if (found < 0) {
            return "bytes skipped between pages (bad checksum or stray data)";
        }
        page_bytes += static_cast<std::size_t>(page.header_len + page.body_len);
        const auto serial = static_cast<std::uint32_t>(ogg_page_serialno(&page));
        const auto wanted = expected.find(serial);
        if (wanted == expected.end()) {
            return "page of unknown serial " + std::to_string(serial);
        }
        auto& stream = streams.try_emplace(serial, serial).first->second;
        const long number = ogg_page_pageno(&page);
        const std::string where = detail::page_name(serial, number);
        if (number != stream.next_page) {
            return where + "expected page number " + std::to_string(stream.next_page);
        }
        const int segments = page.header[26];
        if (segments == 0) {
            return where + "empty page";
        }
        const bool ends_open = page.header[27 + segments - 1] == 255;
        if ((ogg_page_bos(&page) != 0) != (number == 0)) {
            return where + "first-page flag wrong";
        }
        if ((ogg_page_continued(&page) != 0) != stream.previous_page_open) {
            return where + "continued flag wrong";
        }
        if (ogg_stream_pagein(&stream.state, &page) != 0) {
            return where + "libogg refused the page";
        }

        std::vector<const SentPacket*> completed;
        ogg_packet packet;
        for (int got; (got = ogg_stream_packetout(&stream.state, &packet)) != 0;) {
            if (got < 0) {
                return where + "libogg reports a hole";
            }
            const auto& list = wanted->second;
            if (stream.next_packet >= list.size()) {
                return where + "more packets than were sent";
            }
            const SentPacket& original = *list[stream.next_packet];
            const std::span<const std::uint8_t> read(packet.packet,
                                                     static_cast<std::size_t>(packet.bytes));
            if (!std::equal(read.begin(), read.end(), original.bytes.begin(),
                            original.bytes.end())) {
                return where + "packet " + std::to_string(stream.next_packet) + " differs (" +
                       std::to_string(read.size()) + " bytes read, " +
                       std::to_string(original.bytes.size()) + " sent)";
            }
            completed.push_back(&original);
            ++stream.next_packet;
        }

        const auto granule = static_cast<std::uint64_t>(ogg_page_granulepos(&page));
        const std::uint64_t wanted_granule =
            completed.empty() ? ogg::NO_GRANULE : completed.back()->granule;
        if (granule != wanted_granule) {
            return where + "granule " + std::to_string(granule) + ", expected " +
                   std::to_string(wanted_granule);
        }
        if (strict) {
            for (std::size_t i = 0; i < completed.size(); ++i) {
                const bool page_goes_on = i + 1 < completed.size() || ends_open;
                if (completed[i]->directive != ogg::PacketEnd::Normal && page_goes_on) {
                    return where + "page goes on after a packet that asked to end it";
                }
            }
            const bool ends_by_request = !completed.empty() && !ends_open &&
                                         completed.back()->directive != ogg::PacketEnd::Normal;
            if (segments < 255 && !ends_by_request) {
                return where + "page cut short without a request";
            }
            const bool end_of_stream =
                ends_by_request && completed.back()->directive == ogg::PacketEnd::EndOfStream;
            if ((ogg_page_eos(&page) != 0) != end_of_stream) {
                return where + "end-of-stream flag wrong";
            }
        }
        stream.previous_page_open = ends_open;
        ++stream.next_page;
    }

    if (page_bytes != bytes.size()) {
        return "stray bytes after the last page";
    }
    for (const auto& [serial, list] : expected) {
        const auto stream = streams.find(serial);
        const std::size_t read = stream == streams.end() ? 0 : stream->second.next_packet;
        if (read != list.size()) {
            return "serial " + std::to_string(serial) + ": " + std::to_string(read) + " of " +
                   std::to_string(list.size()) + " packets read back";
        }
    }
    return {};
}

}  // namespace ogg_check
