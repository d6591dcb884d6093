// Reference-counted base of every platform object, and the per-kind live-object counts.
//
// Naming in platform/: types keep the capture platform's names (SCStream, CMSampleBuffer,
// NSError). A method takes the first piece of its selector, plus further pieces only where
// two selectors would otherwise clash (initWithDisplayExcludingWindows vs
// initWithDisplayIncludingWindows); protocol methods, whose first piece is shared, join all
// pieces with underscores (stream_didOutputSampleBuffer_ofType). Everything this stand-in
// adds of its own (runtime, backend seam, counts) is snake_case.
#pragma once

#include <atomic>
#include <cstddef>

namespace platform {

// What a live object is, for the counts tests read.
enum class Kind : std::size_t {
    ShareableContent,
    Display,
    Window,
    RunningApplication,
    ContentFilter,
    StreamConfiguration,
    Stream,
    DispatchQueue,
    SampleBuffer,
    BlockBuffer,
    Error,
    StreamOutput,    // objects a client implements for SCStreamOutput
    StreamDelegate,  // objects a client implements for SCStreamDelegate
    Count
};

// Objects of one kind, or of all kinds, that exist right now.
std::size_t live_objects(Kind kind) noexcept;
std::size_t live_objects_total() noexcept;

// A new object has one reference, owned by whoever created it. The object is deleted when
// release() drops the last one, on whatever thread that happens. Destructors are protected
// throughout, so platform objects live only on the heap.
class Object {
public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void retain() noexcept;
    void release() noexcept;
    // Takes a reference only while the object is still alive (count above zero); for holders
    // of a non-owning pointer that must not resurrect a dying object.
    bool try_retain() noexcept;

    // Current count; a snapshot for tests and assertions.
    std::size_t retain_count() const noexcept;

protected:
    explicit Object(Kind kind) noexcept;
    virtual ~Object();

private:
    std::atomic<std::size_t> references_{1};
    Kind kind_;
};

// Null-tolerant helpers for handle-style code. retain returns its argument.
template <class T>
T* retain(T* object) noexcept {
    if (object != nullptr) object->retain();
    return object;
}
inline void release(Object* object) noexcept {
    if (object != nullptr) object->release();
}

}  // namespace platform
