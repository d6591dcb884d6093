// Reply<T>: how a backend answers one asynchronous request.
//
// Calling a reply runs the platform's handler for it on a worker thread with the value.
// A backend calls it exactly once; calling it again delivers the answer again (the
// scripted backend does that on purpose, to exercise duplicate completions). If every copy
// is dropped unanswered, the handler receives the fallback value, so a request never hangs
// on a forgotten answer. The handler is always destroyed on a worker thread, never on the
// backend's own thread, so whatever it captured is released there. Keep no copy after
// answering: the handler may hold the very stream that owns the backend's capture.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

#include "platform/runtime/runtime.h"

namespace platform {

template <class T>
class Reply {
public:
    using Handler = std::function<void(T)>;

    Reply(Handler handler, T fallback)
        : state_(std::make_shared<State>(std::move(handler), std::move(fallback))) {}

    void operator()(T value) const {
        state_->answered.store(true);
        post([handler = state_->handler, value = std::move(value)]() mutable {
            handler(std::move(value));
        });
    }

private:
    struct State {
        State(Handler h, T f) : handler(std::move(h)), fallback(std::move(f)) {}
        ~State() {
            post([handler = std::move(handler), fallback = std::move(fallback),
                  unanswered = !answered.load()]() mutable {
                if (unanswered) handler(std::move(fallback));
            });
        }
        Handler handler;
        T fallback;
        std::atomic<bool> answered{false};
    };
    std::shared_ptr<State> state_;
};

}  // namespace platform
