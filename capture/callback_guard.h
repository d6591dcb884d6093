// The guard around every body that the bridge calls into: no failure may travel back
// across the C boundary into the platform.
#pragma once

#include <exception>
#include <string_view>
#include <utility>

namespace capture {

// Writes "kelvane-utils: panic in <name> caught at C ABI boundary: <message>" for a
// contained failure. The message is the failure's what() for a std::exception, the text
// for a thrown C string or std::string, otherwise "<non-string panic payload>". A failure
// to write is dropped. Never throws.
void log_callback_panic(std::string_view name, const std::exception_ptr& failure) noexcept;

// Runs `action`; an exception escaping it is logged and contained. Always returns normally
// and says nothing about whether the action failed. Whatever the action owned is released
// while the exception unwinds.
template <class Action>
void catch_user_panic(std::string_view name, Action&& action) noexcept {
    try {
        std::forward<Action>(action)();
    } catch (...) {
        log_callback_panic(name, std::current_exception());
    }
}

}  // namespace capture
