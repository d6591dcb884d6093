#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

struct OpusEncoder;

namespace opus_ogg {

// Owns one libopus encoder state. Every encoder setting keeps libopus's default.
class Encoder {
public:
    class Error {
    public:
        // Codes outside libopus's -1..-7 are stored as -8, its "unknown error".
        Error(const char* function, int code);
        const char* function() const { return function_; }
        int code() const { return code_; }
        // "<function>: <libopus text for the code>"
        std::string to_string() const;

    private:
        const char* function_;
        int code_;
    };

    static std::expected<Encoder, Error> create(std::int32_t rate, int channels, int application);

    // Encodes one frame of interleaved samples (its length / channels samples per
    // channel) into out; returns the packet length, which may be 0.
    std::expected<std::size_t, Error> encode(std::span<const std::int16_t> input,
                                             std::span<std::uint8_t> out);

private:
    struct Destroy {
        void operator()(OpusEncoder* state) const noexcept;
    };

    Encoder(OpusEncoder* state, int channels) : state_(state), channels_(channels) {}

    std::unique_ptr<OpusEncoder, Destroy> state_;
    int channels_;
};

}  // namespace opus_ogg
