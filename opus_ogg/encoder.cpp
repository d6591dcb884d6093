#include "opus_ogg/encoder.h"

#include <opus.h>

namespace opus_ogg {

namespace {
constexpr int UNKNOWN_ERROR = -8;
}

Encoder::Error::Error(const char* function, int code)
    : function_(function), code_(code <= -1 && code >= -7 ? code : UNKNOWN_ERROR) {}

std::string Encoder::Error::to_string() const {
    return std::string(function_) + ": " + opus_strerror(code_);
}

void Encoder::Destroy::operator()(OpusEncoder* state) const noexcept {
    opus_encoder_destroy(state);
}

std::expected<Encoder, Encoder::Error> Encoder::create(std::int32_t rate, int channels,
                                                       int application) {
    int error = 0;
    OpusEncoder* state = opus_encoder_create(rate, channels, application, &error);
    if (state == nullptr || error != 0) {
        if (state != nullptr) opus_encoder_destroy(state);
        return std::unexpected(Error("opus_encoder_create", error));
    }
    return Encoder(state, channels);
}

std::expected<std::size_t, Encoder::Error> Encoder::encode(std::span<const std::int16_t> input,
                                                           std::span<std::uint8_t> out) {
    const auto frame_size = static_cast<int>(input.size() / static_cast<std::size_t>(channels_));
    const opus_int32 result = opus_encode(state_.get(), input.data(), frame_size, out.data(),
                                          static_cast<opus_int32>(out.size()));
    if (result < 0) return std::unexpected(Error("opus_encode", result));
    return static_cast<std::size_t>(result);
}

}  // namespace opus_ogg
