#pragma once

// Independent views of a written Ogg file, as libogg reads it (checking every page's
// checksum): its pages and packets, what they add up to, and the Opus header's fields; and a
// scratch directory.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace test_support {

using Packet = std::vector<std::uint8_t>;

struct Page {
    std::uint32_t serial;
    long sequence;
    std::int64_t granule;
    bool first, last, continued;
    int packets_ended;  // packets that complete on this page
    std::size_t size;   // header and body
    int segments = 0;
    bool ends_open = false;        // the last lacing value is 255: a packet goes on
    bool accepted = true;          // libogg took the page into its stream
    std::size_t first_packet = 0;  // index in its stream's packets of the first one read here
    int packets_read = 0;          // packets libogg gave back after this page
    int packet_holes = 0;          // holes libogg reported after this page
};

struct OggFile {
    std::vector<std::uint8_t> bytes;
    std::vector<Page> pages;      // the whole pages with a good checksum
    std::vector<Packet> packets;  // those of the first page's stream
    int holes = 0;                // skipped or damaged data, checksum failures included
    int skipped = 0;              // of those, stretches of bytes that were not a whole, good page
    std::map<std::uint32_t, std::vector<Packet>> other_streams;  // packets of any other serial

    const std::vector<Packet>& packets_of(std::uint32_t serial) const;
};

std::vector<std::uint8_t> read_bytes(const std::string& path);
OggFile parse_ogg(std::vector<std::uint8_t> bytes);
OggFile read_ogg(const std::string& path);

// What the pages of a recording add up to.
struct OggSummary {
    std::size_t bytes = 0;
    std::size_t page_bytes = 0;  // bytes inside whole, good pages
    int pages = 0;
    int skipped = 0;                   // stretches of bytes that were not a whole, good page
    bool starts_with_capture = false;  // the first bytes are a page's capture pattern
    bool sequence_gap_free = true;
    bool headers_first = false;  // the first two packets are OpusHead and OpusTags
    int eos_pages = 0;
    bool last_is_eos = false;
    bool eos_on_last_page_only = false;
    std::int64_t last_granule = -1;  // of the last page on which a packet ends
    long audio_packets = 0;          // whole packets after the two headers
};
OggSummary summarize(const OggFile& file);
OggSummary summarize_ogg(const std::string& path);
// Whether a last granule position fits a printed duration: the duration counts every
// frame that held audio; when none was pending at the end, one more silent frame carries
// the end-of-stream mark.
bool granule_matches(std::int64_t last_granule, double seconds);

// An Ogg Opus recording as its identification header and pages describe it, so that every
// recorder's output is judged the same way.
struct OggOpusInfo {
    std::uint64_t bytes = 0;
    std::uint64_t pages = 0;
    std::uint32_t input_rate = 0;    // as the identification header states it
    std::uint16_t pre_skip = 0;      // 48 kHz samples
    std::uint64_t last_granule = 0;  // of the last page on which a packet ends
    bool ends_with_eos = false;

    // Playable audio: the last granule less the pre-skip, at 48 kHz.
    double duration_seconds() const;
    // Whole file over that duration.
    double kbit_per_second() const;
};

// Nothing when the bytes are not one whole Ogg Opus stream: anything but whole, good pages
// (a bad capture pattern or checksum, a page that runs past the end), a first packet that is
// not "OpusHead", or no page with a granule position.
std::optional<OggOpusInfo> ogg_opus_info(const OggFile& file);
std::optional<OggOpusInfo> parse_ogg_opus(std::span<const std::uint8_t> bytes);
std::optional<OggOpusInfo> read_ogg_opus(const std::string& path);

// A fresh directory under /tmp, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

}  // namespace test_support
