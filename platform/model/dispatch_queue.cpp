#include "platform/model/dispatch_queue.h"

#include <utility>

#include "platform/runtime/runtime.h"

namespace platform {
namespace {

thread_local DispatchQueue* CURRENT_QUEUE = nullptr;

}  // namespace

DispatchQueue::DispatchQueue(std::string label)
    : Object(Kind::DispatchQueue), label_(std::move(label)) {}

DispatchQueue::~DispatchQueue() = default;

Ref<DispatchQueue> DispatchQueue::create(std::string label) {
    return Ref<DispatchQueue>::adopt(new DispatchQueue(std::move(label)));
}

DispatchQueue* DispatchQueue::current() noexcept { return CURRENT_QUEUE; }

void DispatchQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
        if (draining_) return;
        draining_ = true;
    }
    // One drain job at a time; it holds the queue alive while work is pending. The job holds
    // its reference as a plain pointer, which a function object keeps without allocating;
    // every posted job runs, and gives the reference back.
    retain();
    auto job = [self = this] {
        self->drain();
        self->release();
    };
    post(std::move(job));
}

void DispatchQueue::drain() {
    DispatchQueue* const outer = std::exchange(CURRENT_QUEUE, this);
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (items_.empty()) {
                draining_ = false;
                break;
            }
            work = std::move(items_.front());
            items_.pop_front();
        }
        work();
    }
    CURRENT_QUEUE = outer;
}

}  // namespace platform
