#pragma once

// The thread that does a recorder's work on what a sound server's real-time thread hands
// over: the gap rule, the mixer, the fragment assembly and the hand-off to the outputs.
// The recorder owns it and joins it.
//
// wake() is the one call a real-time thread makes: no lock, no allocation, nothing that
// blocks. Each wake runs the drain once (several wakes before it runs are one); tasks posted
// from other threads run on the worker, in order, before the drain that follows them.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace platform::audio {

class CaptureWorker {
public:
    explicit CaptureWorker(std::function<void()> drain);
    CaptureWorker(const CaptureWorker&) = delete;
    CaptureWorker& operator=(const CaptureWorker&) = delete;
    ~CaptureWorker() { stop(); }

    // Any thread, a real-time one included.
    void wake() noexcept;
    // Not from a real-time thread. Once the worker stopped, the task is dropped.
    void post(std::function<void()> task);
    // Runs `task` on the worker and returns when it ran; false when the worker has stopped.
    // Not from the worker itself.
    bool call(const std::function<void()>& task);
    // Runs what was posted, then ends and joins the thread. Not from the worker itself.
    void stop();

    bool on_worker() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();

    std::function<void()> drain_;
    int wake_fd_ = -1;
    std::atomic<bool> woken_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::function<void()>> tasks_;
    unsigned long finished_ = 0;  // tasks run so far
    unsigned long posted_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace platform::audio
