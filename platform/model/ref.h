// Ref<T>: one owned reference to a platform object, released exactly once.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/model/object.h"

namespace platform {

template <class T>
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}

    // Takes over a reference the caller already owns (e.g. a fresh object's first one).
    static Ref adopt(T* object) noexcept { return Ref(object); }
    // Adds a reference of its own.
    static Ref retain(T* object) noexcept {
        if (object != nullptr) object->retain();
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) {
        if (object_ != nullptr) object_->retain();
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <class U>
    Ref(Ref<U>&& other) noexcept : object_(other.leak()) {}
    template <class U>
    Ref(const Ref<U>& other) noexcept : object_(other.get()) {
        if (object_ != nullptr) object_->retain();
    }
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { reset(); }

    void reset() noexcept {
        if (T* object = std::exchange(object_, nullptr)) object->release();
    }
    // Gives the reference up to the caller (e.g. to hand it across the C boundary).
    [[nodiscard]] T* leak() noexcept { return std::exchange(object_, nullptr); }

    T* get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    T& operator*() const noexcept { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.object_ == b.object_; }

private:
    explicit Ref(T* object) noexcept : object_(object) {}
    T* object_ = nullptr;
};

// Creates a platform object and owns its first reference.
template <class T, class... Args>
Ref<T> make(Args&&... args) {
    return Ref<T>::adopt(new T(std::forward<Args>(args)...));
}

}  // namespace platform
