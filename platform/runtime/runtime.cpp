#include "platform/runtime/runtime.h"

#include <cassert>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {
namespace {

thread_local bool ON_WORKER = false;
#ifndef NDEBUG
thread_local bool REALTIME = false;
#endif

// An elastic pool: a job that finds no idle worker gets a new one, so a handler that blocks
// (waiting for another completion, say) never holds up the rest. Workers stay until
// shutdown, which joins them.
class Runtime {
public:
    void post(std::function<void()> job) {
        // A server's real-time thread never waits for this lock, nor starts a worker.
        assert(!on_realtime_thread());
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
            if (idle_ < jobs_.size()) {
                workers_.emplace_back([this] { work(); });
                return;
            }
        }
        // Woken after the unlock: a worker woken under the lock would at once block on it
        // again, which costs two more context switches per job.
        work_.notify_one();
    }

    void wait_idle() {
        if (ON_WORKER) return;
        std::unique_lock lock(mutex_);
        quiet_.wait(lock, [this] { return jobs_.empty() && running_ == 0; });
    }

    void shutdown() {
        if (ON_WORKER) return;
        std::unique_lock lock(mutex_);
        // Workers drain every job before they leave, including jobs posted meanwhile.
        stopping_ = true;
        work_.notify_all();
        while (!workers_.empty()) {
            std::vector<std::thread> leaving;
            leaving.swap(workers_);
            lock.unlock();
            for (auto& worker : leaving) worker.join();
            lock.lock();
        }
        stopping_ = false;
    }

private:
    void work() {
        ON_WORKER = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            work_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
            --idle_;
            if (jobs_.empty()) break;  // stopping, and nothing left to run
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            ++running_;
            lock.unlock();
            job();
            job = nullptr;  // whatever the job captured is released on this worker, unlocked
            lock.lock();
            --running_;
            if (jobs_.empty() && running_ == 0) quiet_.notify_all();
        }
        if (jobs_.empty() && running_ == 0) quiet_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable quiet_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    std::size_t idle_ = 0;
    std::size_t running_ = 0;
    bool stopping_ = false;
};

Runtime& runtime() {
    // Never destroyed: a late post at exit must still find it. Its threads are joined by
    // shutdown(), which the process runs at exit as well in case main did not.
    static Runtime* const RUNTIME = [] {
        auto* created = new Runtime;
        std::atexit([] { platform::shutdown(); });
        return created;
    }();
    return *RUNTIME;
}

}  // namespace

void post(std::function<void()> job) { runtime().post(std::move(job)); }

bool on_worker_thread() noexcept { return ON_WORKER; }

void wait_idle() { runtime().wait_idle(); }

void shutdown() { runtime().shutdown(); }

#ifndef NDEBUG
void mark_realtime_thread() noexcept { REALTIME = true; }
bool on_realtime_thread() noexcept { return REALTIME; }
#endif

}  // namespace platform
