// The platform's worker threads: completion handlers, delegate notifications and dispatch
// queue work all run here, never on the thread that asked for them.
//
// The pool grows when every worker is busy (a blocking handler never starves another) and
// its threads are owned and joined by the runtime. The process must call shutdown() before
// main returns; a fallback at exit does the same for code that forgets.
#pragma once

#include <functional>

namespace platform {

// Runs job once on a platform worker thread. Never blocks on other work.
void post(std::function<void()> job);

// True on a platform worker thread (including while it runs dispatch queue work).
bool on_worker_thread() noexcept;

// Blocks until no job is queued or running. Returns at once when called from a worker.
void wait_idle();

// wait_idle(), then joins every worker thread. Work posted afterwards starts new workers,
// which the next shutdown() joins. Does nothing when called from a worker. Stop captures
// first: work that keeps arriving keeps the workers, and so shutdown(), busy.
void shutdown();

// Marks the calling thread as a sound server's real-time thread, which never posts work nor
// waits for a lock (model/backend.h says what else it must not do). Debug builds remember it,
// and on_realtime_thread() tells; release builds do nothing and say false.
#ifdef NDEBUG
inline void mark_realtime_thread() noexcept {}
inline bool on_realtime_thread() noexcept { return false; }
#else
void mark_realtime_thread() noexcept;
bool on_realtime_thread() noexcept;
#endif

}  // namespace platform
