#include "platform/model/block_buffer.h"

namespace platform {

CMBlockBuffer::CMBlockBuffer(std::size_t length)
    : Object(Kind::BlockBuffer), bytes_(std::make_unique<std::byte[]>(length)), length_(length) {}

Ref<CMBlockBuffer> CMBlockBuffer::create(std::size_t length) {
    return Ref<CMBlockBuffer>::adopt(new CMBlockBuffer(length));
}

std::size_t CMBlockBufferGetDataLength(const CMBlockBuffer* blockBuffer) noexcept {
    return blockBuffer != nullptr ? blockBuffer->dataLength() : 0;
}

}  // namespace platform
