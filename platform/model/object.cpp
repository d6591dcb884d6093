#include "platform/model/object.h"

#include <array>

namespace platform {
namespace {

constexpr std::size_t KIND_COUNT = static_cast<std::size_t>(Kind::Count);
std::array<std::atomic<std::size_t>, KIND_COUNT> LIVE_OBJECTS{};

}  // namespace

std::size_t live_objects(Kind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < KIND_COUNT ? LIVE_OBJECTS[index].load() : 0;
}

std::size_t live_objects_total() noexcept {
    std::size_t total = 0;
    for (const auto& count : LIVE_OBJECTS) total += count.load();
    return total;
}

Object::Object(Kind kind) noexcept : kind_(kind) {
    LIVE_OBJECTS[static_cast<std::size_t>(kind)].fetch_add(1);
}

Object::~Object() { LIVE_OBJECTS[static_cast<std::size_t>(kind_)].fetch_sub(1); }

void Object::retain() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }

void Object::release() noexcept {
    // acq_rel: everything done through other references happens before the delete.
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool Object::try_retain() noexcept {
    std::size_t count = references_.load(std::memory_order_relaxed);
    while (count != 0) {
        if (references_.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

std::size_t Object::retain_count() const noexcept { return references_.load(); }

}  // namespace platform
