// The fuzzer's input read front to back: numbers of a few bytes each, big-endian, and zeros
// once it runs out, so that every input is a whole script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fuzz {

struct Input {
    std::span<const std::uint8_t> bytes;
    std::size_t at = 0;

    bool empty() const { return at >= bytes.size(); }
    std::uint32_t take(std::size_t n) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < n; ++i) {
            value = value << 8 | (at < bytes.size() ? bytes[at] : 0u);
            ++at;
        }
        return value;
    }
    std::span<const std::uint8_t> rest() const {
        return at < bytes.size() ? bytes.subspan(at) : std::span<const std::uint8_t>();
    }
};

}  // namespace fuzz
