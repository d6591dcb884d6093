#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ogg/crc.h"

namespace ogg {

// What the caller wants done with the page that holds the end of a packet.
enum class PacketEnd : std::uint8_t {
    Normal = 0,       // the page may take later packets
    FlushPage = 1,    // write that page at once
    EndOfStream = 2,  // write it at once and mark it as the stream's last page
};

inline constexpr std::size_t MAX_SEGMENTS = 255;   // lacing values on one page
inline constexpr std::size_t SEGMENT_BYTES = 255;  // largest lacing value
inline constexpr std::size_t PAGE_HEADER_BYTES = 27;
inline constexpr std::uint64_t NO_GRANULE = ~std::uint64_t{0};  // page on which no packet ends

inline constexpr std::uint8_t HEADER_CONTINUED = 0x01;
inline constexpr std::uint8_t HEADER_FIRST_PAGE = 0x02;
inline constexpr std::uint8_t HEADER_LAST_PAGE = 0x04;

// A packet with at least one segment on the page being assembled; it owns its bytes
// until the last page that carries part of it has been written.
struct PagePacket {
    std::vector<std::uint8_t> bytes;
    std::uint64_t granule = 0;
};

// The page being assembled for one logical stream.
struct PageState {
    bool first_page_pending = true;
    std::uint32_t sequence = 0;  // carried by the next page written; wraps
    std::uint8_t segment_count = 0;
    std::array<std::uint8_t, MAX_SEGMENTS> lacing{};
    std::vector<PagePacket> packets;
    std::optional<std::size_t> cut_offset;     // this page stops inside its last packet here
    std::optional<std::size_t> resume_offset;  // this page starts inside its first packet here
    // Bytes of this page the sink has already taken. While it is not 0 the page is fixed
    // (its header and checksum are partly out): nothing joins it, and the next write goes
    // on from there.
    std::size_t sent = 0;
    bool sent_as_last = false;  // the end-of-stream flag of a page partly sent
};

// A byte sink takes a leading part of a range and says how much (at least one byte of a
// non-empty range), or fails having taken none, and says why.
template <class S>
concept PageSink = std::movable<S> && requires(S& sink, std::span<const std::uint8_t> bytes) {
    typename S::Error;
    { sink.write_some(bytes) } -> std::same_as<std::expected<std::size_t, typename S::Error>>;
};

// Cuts packets of one or more logical streams into Ogg pages. A page ends when its
// 255 lacing values are used up or when a packet asks for it; there is no other limit.
// The writer owns its sink; destroying it destroys the sink, and pages still being
// assembled are not written.
//
// After a failed page write the stream keeps the unwritten page, and the call that
// failed returns the sink's error. The sink never gets a byte twice: a page it took in
// part is finished from where it stopped, so the output holds nothing but whole pages.
// What happens next depends on how far the page got:
// - The page had filled up (255 lacing values), or the sink took part of it. The next
//   packet for that stream (for any stream, when part of the page is out) first
//   finishes the held page, then places the rest of a packet that page cut, if any.
//   Should any of that fail, the new packet is dropped and the error returned: there is
//   no room for it, the lacing table must never overflow, and neither may a page change
//   or another start inside it once part of it is out. Otherwise the new packet
//   follows. The data is kept whole; only the failed packet's flush or end-of-stream
//   request is not remembered, since the stream has evidently gone on.
// - A flush of a page that had room left failed before the sink took any of it. The
//   page stays open and later packets join it; it is written when it fills or at the
//   next flush.
template <PageSink Sink>
class PacketWriter {
public:
    using Error = typename Sink::Error;
    using Result = std::expected<void, Error>;

    explicit PacketWriter(Sink sink) : byte_sink_(std::move(sink)) {}

    // Takes the packet over; granule is what its page carries if it is the last packet
    // to end there.
    Result write_packet(std::vector<std::uint8_t> packet, std::uint32_t serial, PacketEnd directive,
                        std::uint64_t granule) {
        // A page partly out holds the sink for every stream: any other page written now
        // would land inside it.
        if (partly_sent_) {
            const std::uint32_t held_serial = *partly_sent_;
            PageState& held = streams_.find(held_serial)->second;
            auto finished = write_held_page(byte_sink_, held_serial, held);
            note_progress(held_serial, held);
            if (!finished) {
                ++dropped_packets_;
                return finished;
            }
        }
        auto [entry, inserted] = streams_.try_emplace(serial);
        PageState& state = entry->second;
        if (inserted) {
            state.packets.reserve(MAX_SEGMENTS);
        }
        Result result = place_packet(std::move(packet), serial, state, directive, granule);
        note_progress(serial, state);
        return result;
    }

    Sink& sink() { return byte_sink_; }
    const Sink& sink() const { return byte_sink_; }

    // Packets given up for want of room (the cases above); a failed write whose data the
    // writer kept and later finishes is no loss.
    std::uint64_t dropped_packets() const { return dropped_packets_; }

private:
    Result place_packet(std::vector<std::uint8_t> packet, std::uint32_t serial, PageState& state,
                        PacketEnd directive, std::uint64_t granule) {
        if (state.segment_count == MAX_SEGMENTS) {
            if (auto held = write_held_page(byte_sink_, serial, state); !held) {
                ++dropped_packets_;
                return held;
            }
        }
        const std::size_t length = packet.size();
        state.packets.push_back(PagePacket{std::move(packet), granule});
        return place_segments(byte_sink_, serial, state, 0, length, directive);
    }

    void note_progress(std::uint32_t serial, const PageState& state) {
        if (state.sent > 0) {
            partly_sent_ = serial;
        } else if (partly_sent_ == serial) {
            partly_sent_.reset();
        }
    }

    // Lays out the segments of bytes [offset, length) of the last packet in state,
    // writing every page that fills on the way and, unless directive is Normal, the
    // page that holds the packet's end.
    Result place_segments(Sink& sink, std::uint32_t serial, PageState& state, std::size_t offset,
                          std::size_t length, PacketEnd directive) {
        const bool last = directive == PacketEnd::EndOfStream;
        const std::size_t remaining = length - offset;
        const std::size_t segments = remaining / SEGMENT_BYTES + 1;
        bool page_ended_with_packet = false;
        for (std::size_t i = 0; i < segments; ++i) {
            const bool final_segment = i + 1 == segments;
            state.lacing[state.segment_count] = static_cast<std::uint8_t>(
                final_segment ? remaining % SEGMENT_BYTES : SEGMENT_BYTES);
            ++state.segment_count;
            if (state.segment_count < MAX_SEGMENTS) {
                continue;
            }
            if (!final_segment) {
                state.cut_offset = offset + SEGMENT_BYTES * (i + 1);
                if (auto written = write_page(sink, serial, state, false); !written) {
                    return written;
                }
            } else {
                if (auto written = write_page(sink, serial, state, last); !written) {
                    return written;
                }
                page_ended_with_packet = true;
            }
        }
        if (directive != PacketEnd::Normal && !page_ended_with_packet) {
            return write_page(sink, serial, state, last);
        }
        return {};
    }

    // A page whose write failed is held (full, or partly sent); finish it and the packet
    // it cut, if any, before anything new is placed.
    Result write_held_page(Sink& sink, std::uint32_t serial, PageState& state) {
        const bool cut = state.cut_offset.has_value();
        if (auto written = write_page(sink, serial, state, false); !written) {
            return written;
        }
        if (!cut) {
            return {};
        }
        const std::size_t resume = *state.resume_offset;
        const std::size_t length = state.packets.back().bytes.size();
        return place_segments(sink, serial, state, resume, length, PacketEnd::Normal);
    }

    // Writes the current page of one stream, or what the sink has not yet taken of it,
    // and starts the next one. On failure the state only counts the bytes taken.
    Result write_page(Sink& sink, std::uint32_t serial, PageState& state, bool last_asked) {
        // A page partly out keeps the header it went out with.
        const bool last = state.sent > 0 ? state.sent_as_last : last_asked;
        const std::size_t count = state.packets.size();
        const std::size_t ended = state.cut_offset ? count - 1 : count;
        const std::uint64_t granule = ended == 0 ? NO_GRANULE : state.packets[ended - 1].granule;

        std::array<std::uint8_t, PAGE_HEADER_BYTES> header{'O', 'g', 'g', 'S', 0};
        header[5] = static_cast<std::uint8_t>((state.resume_offset ? HEADER_CONTINUED : 0) |
                                              (state.first_page_pending ? HEADER_FIRST_PAGE : 0) |
                                              (last ? HEADER_LAST_PAGE : 0));
        put_le(header, 6, 8, granule);
        put_le(header, 14, 4, serial);
        put_le(header, 18, 4, state.sequence);
        header[26] = state.segment_count;

        const std::span<const std::uint8_t> table(state.lacing.data(), state.segment_count);
        auto range = [&](std::size_t index) {
            const std::vector<std::uint8_t>& bytes = state.packets[index].bytes;
            const std::size_t start = index == 0 && state.resume_offset ? *state.resume_offset : 0;
            const std::size_t end =
                index + 1 == count && state.cut_offset ? *state.cut_offset : bytes.size();
            return std::span<const std::uint8_t>(bytes).subspan(start, end - start);
        };

        std::uint32_t crc = vorbis_crc32_update(0, header);
        crc = vorbis_crc32_update(crc, table);
        for (std::size_t i = 0; i < count; ++i) {
            crc = vorbis_crc32_update(crc, range(i));
        }
        put_le(header, 22, 4, crc);

        // The pieces in page order, skipping what the sink took before.
        std::size_t skip = state.sent;
        auto send = [&](std::span<const std::uint8_t> piece) -> Result {
            const std::size_t skipped = std::min(skip, piece.size());
            skip -= skipped;
            piece = piece.subspan(skipped);
            while (!piece.empty()) {
                auto taken = sink.write_some(piece);
                if (!taken) {
                    return std::unexpected(std::move(taken.error()));
                }
                const std::size_t n = std::min(*taken, piece.size());
                piece = piece.subspan(n);
                state.sent += n;
                state.sent_as_last = last;
            }
            return {};
        };
        if (auto written = send(header); !written) {
            return written;
        }
        if (auto written = send(table); !written) {
            return written;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (auto written = send(range(i)); !written) {
                return written;
            }
        }

        state.sent = 0;
        state.sent_as_last = false;
        state.first_page_pending = false;
        state.segment_count = 0;
        ++state.sequence;
        // Only the packet that continues on the next page, if any, stays.
        state.packets.erase(state.packets.begin(),
                            state.packets.end() - (state.cut_offset ? 1 : 0));
        state.resume_offset = std::exchange(state.cut_offset, std::nullopt);
        return {};
    }

    static void put_le(std::array<std::uint8_t, PAGE_HEADER_BYTES>& header, std::size_t offset,
                       std::size_t size, std::uint64_t value) {
        for (std::size_t i = 0; i < size; ++i) {
            header[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }

    Sink byte_sink_;
    std::unordered_map<std::uint32_t, PageState> streams_;
    std::optional<std::uint32_t> partly_sent_;
    std::uint64_t dropped_packets_ = 0;
};

}  // namespace ogg
