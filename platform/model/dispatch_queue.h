// DispatchQueue: a serial queue; work submitted to it runs one item at a time, in order,
// on platform worker threads.
//
// Pending work keeps the queue alive, so the last reference may well be dropped on the
// queue's own worker; that is safe because the workers belong to the runtime, not to the
// queue. A queue with a target runs its items through the target, serialised with it.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/model/object.h"
#include "platform/model/ref.h"

namespace platform {

enum class QualityOfService { Unspecified, Default, UserInteractive };
// Only serial queues exist here.
enum class QueueAttributes { Serial };
enum class AutoreleaseFrequency { Inherit, WorkItem, Never };

class DispatchQueue final : public Object {
public:
    static Ref<DispatchQueue> create(std::string label,
                                     QualityOfService qos = QualityOfService::Unspecified,
                                     QueueAttributes attributes = QueueAttributes::Serial,
                                     AutoreleaseFrequency frequency = AutoreleaseFrequency::Inherit,
                                     DispatchQueue* target = nullptr);

    // Queues work and returns at once; never blocks on running work.
    void async(std::function<void()> work);

    const std::string& label() const noexcept { return label_; }
    QualityOfService qos() const noexcept { return qos_; }
    DispatchQueue* target() const noexcept { return target_.get(); }

    // The queue whose work item is running on this thread (the innermost one when queues
    // target each other), or null.
    static DispatchQueue* current() noexcept;

private:
    DispatchQueue(std::string label, QualityOfService qos, Ref<DispatchQueue> target);
    ~DispatchQueue() override;
    void drain();

    std::string label_;
    QualityOfService qos_;
    Ref<DispatchQueue> target_;
    std::mutex mutex_;
    std::deque<std::function<void()>> items_;
    bool draining_ = false;
};

}  // namespace platform
