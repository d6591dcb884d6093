// CMBlockBuffer: a reference-counted block of bytes that backs a sample buffer's audio.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/model/object.h"
#include "platform/model/ref.h"

namespace platform {

class CMBlockBuffer final : public Object {
public:
    // length zeroed bytes.
    static Ref<CMBlockBuffer> create(std::size_t length);

    std::byte* data() noexcept { return bytes_.get(); }
    const std::byte* data() const noexcept { return bytes_.get(); }
    std::size_t dataLength() const noexcept { return length_; }

private:
    explicit CMBlockBuffer(std::size_t length);
    ~CMBlockBuffer() override = default;

    std::unique_ptr<std::byte[]> bytes_;
    std::size_t length_;
};

// The number of data bytes in a block buffer; 0 for null.
std::size_t CMBlockBufferGetDataLength(const CMBlockBuffer* blockBuffer) noexcept;

}  // namespace platform
