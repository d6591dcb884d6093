#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "ogg/crc.h"
#include "ogg/packet_writer.h"
#include "tests/support/ogg_check.h"

namespace {

using ogg::PacketEnd;
using test_support::Paging;
using test_support::SentPacket;
using Bytes = std::vector<std::uint8_t>;

using test_support::SinkError;
using test_support::TestSink;

using Writer = ogg::PacketWriter<TestSink>;

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

// Sends one packet and records it for the read-back check.
struct Feed {
    Writer writer{TestSink{}};
    std::vector<SentPacket> sent;

    std::expected<void, SinkError> send(std::uint32_t serial, Bytes bytes, PacketEnd end,
                                        std::uint64_t granule) {
        sent.push_back({serial, bytes, end, granule});
        return writer.write_packet(std::move(bytes), serial, end, granule);
    }
    std::string check(Paging paging) const {
        return test_support::verify(writer.sink().bytes, sent, paging);
    }
};

struct RawPage {
    std::uint8_t type = 0;
    std::uint64_t granule = 0;
    std::uint32_t serial = 0;
    std::uint32_t sequence = 0;
    Bytes lacing;
    Bytes data;
};

std::uint64_t read_le(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// Splits well-formed output into pages without any help from libogg.
std::vector<RawPage> split_pages(std::span<const std::uint8_t> bytes) {
    std::vector<RawPage> pages;
    while (bytes.size() >= ogg::PAGE_HEADER_BYTES) {
        RawPage page;
        page.type = bytes[5];
        page.granule = read_le(bytes.subspan(6, 8));
        page.serial = static_cast<std::uint32_t>(read_le(bytes.subspan(14, 4)));
        page.sequence = static_cast<std::uint32_t>(read_le(bytes.subspan(18, 4)));
        const std::size_t segments = bytes[26];
        page.lacing.assign(bytes.begin() + 27,
                           bytes.begin() + 27 + static_cast<std::ptrdiff_t>(segments));
        std::size_t body = 0;
        for (const std::uint8_t value : page.lacing) {
            body += value;
        }
        const auto data = bytes.subspan(27 + segments, body);
        page.data.assign(data.begin(), data.end());
        pages.push_back(std::move(page));
        bytes = bytes.subspan(27 + segments + body);
    }
    EXPECT_TRUE(bytes.empty()) << "trailing bytes after the last page";
    return pages;
}

TEST(OggCrc, TableAndChecksumFollowTheOggPolynomial) {
    EXPECT_EQ(ogg::CRC_LOOKUP_ARRAY[0], 0u);
    EXPECT_EQ(ogg::CRC_LOOKUP_ARRAY[1], 0x04C11DB7u);
    EXPECT_EQ(ogg::CRC_LOOKUP_ARRAY[2], 0x09823B6Eu);

    // The same CRC with a final inversion is the POSIX cksum CRC, whose check value for
    // "123456789" is 0x765E7680.
    const std::array<std::uint8_t, 9> digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ogg::vorbis_crc32_update(0, digits), 0x765E7680u ^ 0xFFFFFFFFu);

    const std::span<const std::uint8_t> all(digits);
    EXPECT_EQ(ogg::vorbis_crc32_update(ogg::vorbis_crc32_update(0, all.first(4)), all.subspan(4)),
              ogg::vorbis_crc32_update(0, all));
    EXPECT_EQ(ogg::vorbis_crc32_update(0x12345678u, {}), 0x12345678u);
}

TEST(OggPageLayout, OpusHeadersGiveTheReferencePages) {
    const Bytes head{'O',  'p',  'u',  's',  'H', 'e', 'a', 'd', 1, 2,
                     0x38, 0x01, 0x80, 0xBB, 0,   0,   0,   0,   0};
    Bytes tags{'O', 'p', 'u', 's', 'T', 'a', 'g', 's', 14, 0, 0, 0};
    for (const char c : std::string_view("velgo-marrinet")) {
        tags.push_back(static_cast<std::uint8_t>(c));
    }
    tags.insert(tags.end(), 4, 0);
    ASSERT_EQ(tags.size(), 30u);

    Feed feed;
    ASSERT_TRUE(feed.send(0x4D50EE80u, head, PacketEnd::FlushPage, 0));
    Bytes expected{0x4F, 0x67, 0x67, 0x53, 0x00, 0x02, 0, 0, 0,    0,    0,    0,    0,    0,
                   0x80, 0xEE, 0x50, 0x4D, 0,    0,    0, 0, 0x6A, 0x23, 0x0B, 0x1D, 0x01, 0x13};
    expected.insert(expected.end(), head.begin(), head.end());
    EXPECT_EQ(feed.writer.sink().bytes, expected);

    ASSERT_TRUE(feed.send(0x4D50EE80u, tags, PacketEnd::FlushPage, 0));
    const auto pages = split_pages(feed.writer.sink().bytes);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[1].type, 0x00);
    EXPECT_EQ(pages[1].sequence, 1u);
    EXPECT_EQ(pages[1].granule, 0u);
    EXPECT_EQ(pages[1].lacing, Bytes{30});
    EXPECT_EQ(feed.check(Paging::Strict), "");
}

TEST(OggPageLayout, LacingValuesOfSegmentBoundaries) {
    const std::vector<std::pair<std::size_t, Bytes>> cases{
        {0, {0}}, {254, {254}}, {255, {255, 0}}, {510, {255, 255, 0}}, {256, {255, 1}}};
    for (const auto& [size, lacing] : cases) {
        Feed feed;
        ASSERT_TRUE(feed.send(9, pattern(size, 3), PacketEnd::FlushPage, 77));
        const auto pages = split_pages(feed.writer.sink().bytes);
        ASSERT_EQ(pages.size(), 1u) << size;
        EXPECT_EQ(pages[0].type, 0x02) << size;
        EXPECT_EQ(pages[0].granule, 77u) << size;
        EXPECT_EQ(pages[0].lacing, lacing) << size;
        EXPECT_EQ(pages[0].data, pattern(size, 3)) << size;
        EXPECT_EQ(feed.check(Paging::Strict), "") << size;
    }
}

TEST(OggPageLayout, TwoHundredFiftyFivePacketsFillOnePage) {
    Feed feed;
    for (std::uint64_t i = 1; i <= 254; ++i) {
        ASSERT_TRUE(feed.send(5, pattern(100, static_cast<std::uint8_t>(i)), PacketEnd::Normal, i));
    }
    EXPECT_TRUE(feed.writer.sink().bytes.empty()) << "a page went out before its table was full";
    ASSERT_TRUE(feed.send(5, pattern(100, 255), PacketEnd::Normal, 255));
    auto pages = split_pages(feed.writer.sink().bytes);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].lacing, Bytes(255, 100));
    EXPECT_EQ(pages[0].granule, 255u);

    ASSERT_TRUE(feed.send(5, pattern(100, 0), PacketEnd::FlushPage, 256));
    pages = split_pages(feed.writer.sink().bytes);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[1].type, 0x00);
    EXPECT_EQ(pages[1].sequence, 1u);
    EXPECT_EQ(pages[1].lacing, Bytes{100});
    EXPECT_EQ(feed.check(Paging::Strict), "");
}

TEST(OggPageLayout, PacketCutWhereTheTableFills) {
    Feed feed;
    for (std::uint64_t i = 1; i <= 254; ++i) {
        ASSERT_TRUE(feed.send(5, {static_cast<std::uint8_t>(i)}, PacketEnd::Normal, i));
    }
    const Bytes long_packet = pattern(300, 1);
    ASSERT_TRUE(feed.send(5, long_packet, PacketEnd::Normal, 1000));
    auto pages = split_pages(feed.writer.sink().bytes);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].lacing.size(), 255u);
    EXPECT_EQ(pages[0].lacing.back(), 255);
    EXPECT_EQ(pages[0].granule, 254u) << "the cut packet must not lend its granule";

    ASSERT_TRUE(feed.send(5, {}, PacketEnd::EndOfStream, 1001));
    pages = split_pages(feed.writer.sink().bytes);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[1].type, 0x01 | 0x04);
    EXPECT_EQ(pages[1].lacing, (Bytes{45, 0}));
    EXPECT_EQ(pages[1].data, Bytes(long_packet.begin() + 255, long_packet.end()));
    EXPECT_EQ(pages[1].granule, 1001u);
    EXPECT_EQ(feed.check(Paging::Strict), "");

    // A packet longer than a page: nothing ends on its first page.
    Feed big;
    ASSERT_TRUE(big.send(6, pattern(70000, 9), PacketEnd::FlushPage, 42));
    pages = split_pages(big.writer.sink().bytes);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].granule, ogg::NO_GRANULE);
    EXPECT_EQ(pages[1].type, 0x01);
    EXPECT_EQ(pages[1].granule, 42u);
    EXPECT_EQ(big.check(Paging::Strict), "");
}

TEST(OggPageLayout, EndOfStreamOnTheLastLacingValueWritesOnePage) {
    Feed feed;
    for (std::uint64_t i = 1; i <= 253; ++i) {
        ASSERT_TRUE(feed.send(5, {7}, PacketEnd::Normal, i));
    }
    ASSERT_TRUE(feed.send(5, pattern(300, 2), PacketEnd::EndOfStream, 999));
    const auto pages = split_pages(feed.writer.sink().bytes);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].type, 0x02 | 0x04);
    EXPECT_EQ(pages[0].lacing.size(), 255u);
    EXPECT_EQ(pages[0].granule, 999u);
    EXPECT_EQ(feed.check(Paging::Strict), "");
    // Nothing of the stream was left open: the next packet's page holds it alone.
    ASSERT_TRUE(feed.send(5, {7}, PacketEnd::FlushPage, 1000));
    EXPECT_EQ(split_pages(feed.writer.sink().bytes).back().lacing, Bytes{1});
}

std::size_t random_size(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0:
            return rng() % 3;
        case 1:
            return 255 * (1 + rng() % 6) + rng() % 3 - 1;
        case 2:
            return rng() % 70001;
        default:
            return rng() % 600;
    }
}

PacketEnd random_end(std::mt19937_64& rng) {
    const auto roll = rng() % 20;
    return roll == 0 ? PacketEnd::EndOfStream : roll < 4 ? PacketEnd::FlushPage : PacketEnd::Normal;
}

constexpr std::array<std::uint32_t, 4> SERIALS{0x4D50EE80u, 0u, 0xFFFFFFFFu, 77u};

TEST(OggRoundTrip, RandomPacketSequencesReadBackIntact) {
    for (const std::uint64_t seed : {1u, 2u, 3u, 4u, 5u}) {
        std::mt19937_64 rng(seed);
        Feed feed;
        std::array<std::uint64_t, SERIALS.size()> granules{};
        for (int n = 0; n < 500; ++n) {
            const std::size_t s = rng() % SERIALS.size();
            granules[s] += rng() % 2000;
            const auto seed_byte = static_cast<std::uint8_t>(rng());
            ASSERT_TRUE(feed.send(SERIALS[s], pattern(random_size(rng), seed_byte), random_end(rng),
                                  granules[s]));
        }
        for (std::size_t s = 0; s < SERIALS.size(); ++s) {
            ASSERT_TRUE(
                feed.send(SERIALS[s], pattern(10, 1), PacketEnd::EndOfStream, granules[s] + 1));
        }
        EXPECT_EQ(feed.check(Paging::Strict), "") << "seed " << seed;
    }
}

// The failure tests end with a packet that spans pages, so the run's last pages go
// through a cut and a resumed packet too.
constexpr std::size_t TAIL_BYTES = 70000;

TEST(OggSinkFailure, ErrorsComeBackUnchangedAndTheOpenPageStays) {
    // Fail the header, the segment table, then a packet's bytes.
    for (std::size_t failing_write = 0; failing_write < 3; ++failing_write) {
        Feed feed;
        ASSERT_TRUE(feed.send(3, pattern(10, 1), PacketEnd::Normal, 10));
        const int code = 40 + static_cast<int>(failing_write);
        feed.writer.sink().fail(failing_write, 1, 5, code);
        const auto result = feed.send(3, pattern(20, 2), PacketEnd::FlushPage, 20);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), SinkError{code});

        ASSERT_TRUE(feed.send(3, pattern(TAIL_BYTES, 3), PacketEnd::EndOfStream, 30));
        EXPECT_EQ(feed.check(Paging::AfterFailures), "") << "write " << failing_write;
        // The page that failed went out later as it was: both packets, the stream's first page.
        EXPECT_EQ(split_pages(feed.writer.sink().bytes).front().lacing, (Bytes{10, 20}));
    }
}

// The held page is full: 254 small packets, then either a packet the page cuts or one
// that ends on the 255th lacing value, and the page write fails. The next packet while
// the sink still fails is dropped, and only that one counts as dropped; once the sink
// recovers everything else arrives.
TEST(OggSinkFailure, FullHeldPageIsWrittenAgainBeforeTheNextPacket) {
    struct Case {
        bool cut;
        std::size_t failing_write;
        std::size_t partial;
    };
    for (const Case c : {Case{true, 0, 0}, Case{true, 0, 13}, Case{true, 2, 5},
                         Case{true, 256, 100}, Case{false, 0, 0}, Case{false, 1, 100}}) {
        SCOPED_TRACE(testing::Message() << "cut " << c.cut << " write " << c.failing_write
                                        << " partial " << c.partial);
        Feed feed;
        for (std::uint64_t i = 1; i <= 254; ++i) {
            ASSERT_TRUE(
                feed.send(8, pattern(10, static_cast<std::uint8_t>(i)), PacketEnd::Normal, i));
        }
        feed.writer.sink().fail(c.failing_write, 2, c.partial, 7);
        const auto failed = feed.send(8, pattern(c.cut ? 600 : 10, 99), PacketEnd::Normal, 1000);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error(), SinkError{7});
        EXPECT_EQ(feed.writer.dropped_packets(), 0u) << "a packet held for later was counted";

        const auto dropped = feed.writer.write_packet(pattern(50, 5), 8, PacketEnd::Normal, 1500);
        ASSERT_FALSE(dropped);
        EXPECT_EQ(dropped.error(), SinkError{7});
        EXPECT_EQ(feed.writer.dropped_packets(), 1u);

        ASSERT_TRUE(feed.send(8, pattern(TAIL_BYTES, 6), PacketEnd::EndOfStream, 2000));
        EXPECT_EQ(feed.check(Paging::AfterFailures), "");
        EXPECT_EQ(feed.writer.dropped_packets(), 1u);
        // The held page went out first as it was, full, the next one going on with the packet
        // it cut, if any; the dropped packet is in neither.
        const auto pages = split_pages(feed.writer.sink().bytes);
        ASSERT_GE(pages.size(), 2u);
        EXPECT_EQ(pages[0].lacing.size(), 255u);
        EXPECT_EQ((pages[1].type & ogg::HEADER_CONTINUED) != 0, c.cut);
    }
}

// A page the sink took in part is finished from where it stopped, never sent again whole:
// once the sink recovers, the output is byte for byte what a sink that never failed got.
TEST(OggSinkFailure, PartlyTakenPageIsFinishedNotSentAgain) {
    struct Case {
        bool full;  // 255 lacing values, the last packet cut; else a flushed page of four
        std::size_t failing_write;  // 0 header, 1 segment table, then packet bytes
        std::size_t partial;
    };
    for (const Case c : {Case{false, 0, 5}, Case{false, 1, 3}, Case{false, 3, 20},
                         Case{true, 0, 26}, Case{true, 100, 7}, Case{true, 256, 100}}) {
        SCOPED_TRACE(testing::Message() << "full " << c.full << " write " << c.failing_write);
        Feed clean, failing;
        for (Feed* feed : {&clean, &failing}) {
            const std::vector<std::size_t> sizes =
                c.full ? std::vector<std::size_t>(254, 10) : std::vector<std::size_t>{300, 40, 700};
            for (std::size_t i = 0; i < sizes.size(); ++i) {
                ASSERT_TRUE(feed->send(8, pattern(sizes[i], static_cast<std::uint8_t>(i)),
                                       PacketEnd::Normal, i + 1));
            }
            if (feed == &failing) feed->writer.sink().fail(c.failing_write, 1, c.partial, 9);
            const auto result = feed->send(8, pattern(c.full ? 600 : 700, 99),
                                           c.full ? PacketEnd::Normal : PacketEnd::FlushPage, 1000);
            EXPECT_EQ(result.has_value(), feed == &clean);
            ASSERT_TRUE(feed->send(8, pattern(300, 5), PacketEnd::EndOfStream, 2000));
        }
        EXPECT_EQ(failing.writer.sink().bytes, clean.writer.sink().bytes);
        EXPECT_EQ(failing.check(Paging::Strict), "");
    }
}

TEST(OggSinkFailure, RandomFailuresLoseOnlyThePacketsThatWereRefused) {
    for (const std::uint64_t seed : {11u, 12u, 13u, 14u}) {
        std::mt19937_64 rng(seed);
        Feed feed;
        std::array<std::uint64_t, SERIALS.size()> granules{};
        std::size_t dropped = 0;
        for (int n = 0; n < 600; ++n) {
            if (rng() % 6 == 0) {
                feed.writer.sink().fail(rng() % 4, 1 + rng() % 3, rng() % 400);
            }
            const std::size_t s = rng() % SERIALS.size();
            const std::uint32_t serial = SERIALS[s];
            granules[s] += 1 + rng() % 2000;
            // A full page, or any page partly sent, takes nothing new until it is out.
            const bool full = test_support::may_refuse(feed.writer.sink().bytes, feed.sent, serial);
            const std::uint64_t dropped_before = feed.writer.dropped_packets();
            const auto seed_byte = static_cast<std::uint8_t>(rng());
            if (feed.send(serial, pattern(random_size(rng), seed_byte), random_end(rng),
                          granules[s])) {
                continue;
            }
            // A refused packet is either held for a later page or dropped whole (and counted);
            // the read-back check tells whether it was.
            if (feed.writer.dropped_packets() != dropped_before) {
                EXPECT_TRUE(full) << "a packet was dropped although its page could take it";
                feed.sent.pop_back();
                ++dropped;
            }
        }
        feed.writer.sink().fail(0, 0);
        for (std::size_t s = 0; s < SERIALS.size(); ++s) {
            ASSERT_TRUE(feed.send(SERIALS[s], pattern(TAIL_BYTES, 4), PacketEnd::FlushPage,
                                  granules[s] + 1));
        }
        EXPECT_EQ(feed.check(Paging::AfterFailures), "") << "seed " << seed;
        EXPECT_GT(dropped, 0u) << "seed " << seed << " never exercised a refused packet";
    }
}

}  // namespace
