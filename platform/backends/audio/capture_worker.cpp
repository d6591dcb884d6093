#include "platform/backends/audio/capture_worker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "platform/model/backend.h"

namespace platform::audio {

CaptureWorker::CaptureWorker(std::function<void()> drain) : drain_(std::move(drain)) {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Without a descriptor there is no way to wake the thread: a process out of them fails.
    if (wake_fd_ < 0) std::abort();
    thread_ = std::thread([this] { run(); });
}

void CaptureWorker::wake() noexcept {
    // One write per drain the worker has not begun yet: a real-time thread that hands over
    // several buffers meanwhile makes no further system call.
    if (woken_.exchange(true, std::memory_order_acq_rel)) return;
    const std::uint64_t one = 1;
    // Non-blocking; a counter that is full already wakes the worker.
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
}

void CaptureWorker::post(std::function<void()> task) {
    assert(!on_realtime_thread());
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
        ++posted_;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
}

bool CaptureWorker::call(const std::function<void()>& task) {
    assert(!on_worker() && !on_realtime_thread());
    unsigned long ticket = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        tasks_.push_back(task);
        ticket = ++posted_;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return finished_ >= ticket; });
    return true;
}

void CaptureWorker::stop() {
    if (!thread_.joinable()) return;
    assert(!on_worker());
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
    ::close(wake_fd_);
    wake_fd_ = -1;
}

void CaptureWorker::run() {
    for (;;) {
        pollfd wait{.fd = wake_fd_, .events = POLLIN, .revents = 0};
        if (::poll(&wait, 1, -1) < 0 && errno != EINTR) std::abort();
        std::uint64_t count = 0;
        [[maybe_unused]] const auto taken = ::read(wake_fd_, &count, sizeof count);
        // Reads what the last wake wrote: what was handed over before it is seen below.
        woken_.exchange(false, std::memory_order_acq_rel);
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty()) break;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
            {
                std::lock_guard lock(mutex_);
                ++finished_;
            }
            done_.notify_all();
        }
        drain_();
        std::lock_guard lock(mutex_);
        if (stopping_ && tasks_.empty()) return;
    }
}

}  // namespace platform::audio
