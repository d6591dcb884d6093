#include "tests/support/ogg_check.h"

#include <algorithm>
#include <map>

#include "tests/support/ogg_reading.h"

namespace test_support {

std::string verify(std::span<const std::uint8_t> bytes, const std::vector<SentPacket>& sent,
                   Paging paging) {
    const bool strict = paging == Paging::Strict;
    std::map<std::uint32_t, std::vector<const SentPacket*>> expected;
    for (const SentPacket& packet : sent) expected[packet.serial].push_back(&packet);

    const OggFile file = parse_ogg({bytes.begin(), bytes.end()});
    if (file.skipped != 0) return "bytes skipped between pages (bad checksum or stray data)";

    struct StreamRead {
        long next_page = 0;
        std::size_t next_packet = 0;
        bool previous_page_open = false;  // the previous page ended inside a packet
    };
    std::map<std::uint32_t, StreamRead> streams;
    std::size_t page_bytes = 0;
    for (const Page& page : file.pages) {
        page_bytes += page.size;
        const std::uint32_t serial = page.serial;
        const auto wanted = expected.find(serial);
        if (wanted == expected.end()) return "page of unknown serial " + std::to_string(serial);
        StreamRead& stream = streams[serial];
        const std::string where =
            "serial " + std::to_string(serial) + " page " + std::to_string(page.sequence) + ": ";
        if (page.sequence != stream.next_page) {
            return where + "expected page number " + std::to_string(stream.next_page);
        }
        if (page.segments == 0) return where + "empty page";
        if (page.first != (page.sequence == 0)) return where + "first-page flag wrong";
        if (page.continued != stream.previous_page_open) return where + "continued flag wrong";
        if (!page.accepted) return where + "libogg refused the page";
        if (page.packet_holes != 0) return where + "libogg reports a hole";

        const auto& list = wanted->second;
        const auto& read_packets = file.packets_of(serial);
        std::vector<const SentPacket*> completed;
        for (int k = 0; k < page.packets_read; ++k) {
            if (stream.next_packet >= list.size()) return where + "more packets than were sent";
            const SentPacket& original = *list[stream.next_packet];
            const Packet& read = read_packets[page.first_packet + static_cast<std::size_t>(k)];
            if (read != original.bytes) {
                return where + "packet " + std::to_string(stream.next_packet) + " differs (" +
                       std::to_string(read.size()) + " bytes read, " +
                       std::to_string(original.bytes.size()) + " sent)";
            }
            completed.push_back(&original);
            ++stream.next_packet;
        }

        const auto granule = static_cast<std::uint64_t>(page.granule);
        const std::uint64_t wanted_granule =
            completed.empty() ? ogg::NO_GRANULE : completed.back()->granule;
        if (granule != wanted_granule) {
            return where + "granule " + std::to_string(granule) + ", expected " +
                   std::to_string(wanted_granule);
        }
        if (strict) {
            for (std::size_t i = 0; i < completed.size(); ++i) {
                const bool page_goes_on = i + 1 < completed.size() || page.ends_open;
                if (completed[i]->directive != ogg::PacketEnd::Normal && page_goes_on) {
                    return where + "page goes on after a packet that asked to end it";
                }
            }
            const bool ends_by_request = !completed.empty() && !page.ends_open &&
                                         completed.back()->directive != ogg::PacketEnd::Normal;
            if (page.segments < 255 && !ends_by_request) {
                return where + "page cut short without a request";
            }
            const bool end_of_stream =
                ends_by_request && completed.back()->directive == ogg::PacketEnd::EndOfStream;
            if (page.last != end_of_stream) return where + "end-of-stream flag wrong";
        }
        stream.previous_page_open = page.ends_open;
        ++stream.next_page;
    }

    if (page_bytes != bytes.size()) return "stray bytes after the last page";
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

bool may_refuse(std::span<const std::uint8_t> bytes, const std::vector<SentPacket>& sent,
                std::uint32_t serial) {
    std::int64_t owed = 0;
    for (const SentPacket& packet : sent) {
        if (packet.serial == serial) owed += packet.bytes.size() / ogg::SEGMENT_BYTES + 1;
    }
    for (std::size_t at = 0; at < bytes.size();) {
        const auto rest = bytes.subspan(at);
        if (rest.size() < ogg::PAGE_HEADER_BYTES ||
            rest.size() < ogg::PAGE_HEADER_BYTES + rest[26]) {
            return true;
        }
        const auto lacing = rest.subspan(ogg::PAGE_HEADER_BYTES, rest[26]);
        std::size_t size = ogg::PAGE_HEADER_BYTES + lacing.size();
        for (const std::uint8_t value : lacing) size += value;
        if (rest.size() < size) return true;
        const std::uint32_t page_serial =
            rest[14] | rest[15] << 8 | rest[16] << 16 | static_cast<std::uint32_t>(rest[17]) << 24;
        if (page_serial == serial) owed -= static_cast<std::int64_t>(lacing.size());
        at += size;
    }
    return owed >= static_cast<std::int64_t>(ogg::MAX_SEGMENTS);
}

}  // namespace test_support
