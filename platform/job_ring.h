// JobRing: a first-in first-out queue of jobs in a ring that keeps its room. Once it has
// grown to the most jobs ever waiting at once, queueing and taking allocate nothing (a
// std::deque frees and allocates a block every few jobs as it moves along). Not locked: its
// owner guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace platform {

class JobRing {
public:
    using Job = std::function<void()>;

    bool empty() const noexcept { return count_ == 0; }
    std::size_t size() const noexcept { return count_; }

    void push(Job job) {
        if (count_ == slots_.size()) grow();
        slots_[(head_ + count_) % slots_.size()] = std::move(job);
        ++count_;
    }

    // The oldest job; the ring must not be empty.
    Job pop() {
        Job job = std::exchange(slots_[head_], nullptr);
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return job;
    }

private:
    void grow() {
        std::vector<Job> bigger(std::max<std::size_t>(INITIAL_SLOTS, slots_.size() * 2));
        for (std::size_t i = 0; i < count_; ++i)
            bigger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        slots_ = std::move(bigger);
        head_ = 0;
    }

    static constexpr std::size_t INITIAL_SLOTS = 8;

    std::vector<Job> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace platform
