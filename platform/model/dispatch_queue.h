// DispatchQueue: a serial queue; work submitted to it runs one item at a time, in order,
// on platform worker threads.
//
// Pending work keeps the queue alive, so the last reference may well be dropped on the
// queue's own worker; that is safe because the workers belong to the runtime, not to the
// queue.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/model/object.h"
#include "platform/model/ref.h"

namespace platform {

class DispatchQueue final : public Object {
public:
    static Ref<DispatchQueue> create(std::string label);

    // Queues work and returns at once; never blocks on running work.
    void async(std::function<void()> work);

    const std::string& label() const noexcept { return label_; }

    // The queue whose work item is running on this thread, or null.
    static DispatchQueue* current() noexcept;

private:
    explicit DispatchQueue(std::string label);
    ~DispatchQueue() override;
    void drain();

    std::string label_;
    std::mutex mutex_;
    std::deque<std::function<void()>> items_;
    bool draining_ = false;
};

}  // namespace platform
