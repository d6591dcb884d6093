// One owned reference to a bridge handle, released exactly once; a null handle is never
// released. Copying (only for kinds the bridge can retain) takes a reference of its own.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace capture {

// `Retain` is nullptr (by type) for kinds the bridge cannot retain: those are move-only.
template <class Handle, void (*Release)(Handle*), auto Retain = nullptr>
class OwnedHandle {
    static constexpr bool RETAINABLE = !std::is_same_v<decltype(Retain), std::nullptr_t>;

public:
    OwnedHandle() = default;
    // Takes over the one reference `adopted` carries.
    explicit OwnedHandle(Handle* adopted) : handle_(adopted) {}

    OwnedHandle(const OwnedHandle& other) requires RETAINABLE
        : handle_(other.handle_ != nullptr ? Retain(other.handle_) : nullptr) {}
    OwnedHandle& operator=(const OwnedHandle& other) requires RETAINABLE {
        if (this != &other) *this = OwnedHandle(other);
        return *this;
    }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~OwnedHandle() { reset(); }

    Handle* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    // Gives the reference up to the caller.
    [[nodiscard]] Handle* release() { return std::exchange(handle_, nullptr); }

    void reset() {
        if (Handle* old = std::exchange(handle_, nullptr); old != nullptr) Release(old);
    }

private:
    Handle* handle_ = nullptr;
};

}  // namespace capture
