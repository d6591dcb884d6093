#pragma once

// Independent view of a written file, as libogg sees it; and a scratch directory.

#include <cstdint>
#include <string>
#include <vector>

namespace opus_ogg_test {

struct Page {
    std::uint32_t serial;
    long sequence;
    std::int64_t granule;
    bool first, last, continued;
    int packets_ended;  // packets that complete on this page
};

struct OggFile {
    std::vector<std::uint8_t> bytes;
    std::vector<Page> pages;
    std::vector<std::vector<std::uint8_t>> packets;
    int holes = 0;  // skipped or damaged data, checksum failures included
};

std::vector<std::uint8_t> read_bytes(const std::string& path);
OggFile read_ogg(const std::string& path);

// A fresh directory under /tmp, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

}  // namespace opus_ogg_test
