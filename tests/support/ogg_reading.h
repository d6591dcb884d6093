#pragma once

// Independent views of a written Ogg file, as libogg reads it (checking every page's
// checksum); and a scratch directory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

struct Page {
    std::uint32_t serial;
    long sequence;
    std::int64_t granule;
    bool first, last, continued;
    int packets_ended;  // packets that complete on this page
    std::size_t size;   // header and body
};

struct OggFile {
    std::vector<std::uint8_t> bytes;
    std::vector<Page> pages;                         // the whole pages with a good checksum
    std::vector<std::vector<std::uint8_t>> packets;  // those of the first page's stream
    int holes = 0;    // skipped or damaged data, checksum failures included
    int skipped = 0;  // of those, stretches of bytes that were not a whole, good page
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

// A fresh directory under /tmp, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

}  // namespace test_support
