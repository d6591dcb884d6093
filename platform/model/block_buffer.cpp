#include "platform/model/block_buffer.h"

#include <cstring>

namespace platform {

CMBlockBuffer::CMBlockBuffer(std::size_t length)
    : Object(Kind::BlockBuffer), bytes_(std::make_unique<std::byte[]>(length)), length_(length) {}

Ref<CMBlockBuffer> CMBlockBuffer::create(std::size_t length) {
    return Ref<CMBlockBuffer>::adopt(new CMBlockBuffer(length));
}

Ref<CMBlockBuffer> CMBlockBuffer::createWithBytes(std::span<const std::byte> bytes) {
    auto block = create(bytes.size());
    if (!bytes.empty()) std::memcpy(block->data(), bytes.data(), bytes.size());
    return block;
}

std::size_t CMBlockBufferGetDataLength(const CMBlockBuffer* blockBuffer) noexcept {
    return blockBuffer != nullptr ? blockBuffer->dataLength() : 0;
}

}  // namespace platform
