// Turns one asynchronous bridge call with a C completion callback into a blocking call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "capture/callback_guard.h"
#include "capture/error.h"

namespace capture {

// What the bridge's callback brings: a value, or an owned error text.
template <class T>
using SyncCompletionResult = std::expected<T, std::string>;

// Pending (empty), or the stored result. Replacing or destroying a stored result discards
// it, which releases the handle in a success (T owns it) or frees the text of a failure.
template <class T>
using SyncCompletionState = std::optional<SyncCompletionResult<T>>;

inline constexpr std::string_view DUPLICATE_COMPLETION_LINE =
    "kelvane-utils: SyncCompletion callback fired more than once; ignoring duplicate to avoid "
    "double-free\n";

// The part of the shared record that does not depend on the result type.
struct SyncCompletionRecord {
    // One reference for the waiting side, one for the (first) completion.
    std::atomic<std::size_t> ref_count{2};
    // Set by the first completion; a later one must neither store nor drop a reference.
    std::atomic<bool> fired{false};
    // The record's user-data value, never reused within the process.
    std::uintptr_t id = 0;

    virtual ~SyncCompletionRecord() = default;
};

// The record shared by the waiting side and the bridge's callback.
template <class T>
struct SyncCompletionInner final : SyncCompletionRecord {
    std::condition_variable ready;
    std::mutex mutex;
    SyncCompletionState<T> state;
};

namespace sync_completion_detail {
// Enters a new record in the process-wide table of outstanding records and returns its
// user-data value. The callback may run after the waiter has gone; looking the user data
// up in the table instead of dereferencing it keeps a late duplicate from touching a freed
// record.
void* register_record(SyncCompletionRecord* record);
// For a non-null user data: the record when this is its first completion (the caller now
// holds the completion's reference), otherwise null after writing the duplicate line.
SyncCompletionRecord* claim_first_completion(void* user_data);
// Drops one reference; the last one removes the record from the table and frees it.
void drop_reference(SyncCompletionRecord* record);
}  // namespace sync_completion_detail

template <class T>
class SyncCompletion {
public:
    using Result = SyncCompletionResult<T>;

    // The waiter's side and the user data to hand to the bridge with the callback.
    static std::pair<SyncCompletion, void*> create() {
        auto* inner = new SyncCompletionInner<T>();  // shared with the C callback side
        void* user_data = sync_completion_detail::register_record(inner);
        return {SyncCompletion(inner), user_data};
    }

    SyncCompletion(SyncCompletion&& other) noexcept
        : inner_(std::exchange(other.inner_, nullptr)) {}
    SyncCompletion& operator=(SyncCompletion&&) = delete;
    SyncCompletion(const SyncCompletion&) = delete;
    SyncCompletion& operator=(const SyncCompletion&) = delete;
    // A waiter that never waited still gives its reference back.
    ~SyncCompletion() {
        if (inner_ != nullptr) sync_completion_detail::drop_reference(inner_);
    }

    // Blocks, without a time limit, until a completion has stored a result, and returns it.
    Result wait() && {
        SyncCompletionInner<T>* inner = std::exchange(inner_, nullptr);
        std::unique_lock lock(inner->mutex);
        inner->ready.wait(lock, [inner] { return inner->state.has_value(); });
        Result result = std::move(*inner->state);
        lock.unlock();  // before the record may be freed
        sync_completion_detail::drop_reference(inner);
        return result;
    }

    // The callback side. Stores the first result for `user_data`; a result for null user
    // data, or for a cell that was already completed, is discarded.
    static void complete_with_result(void* user_data, Result result) {
        if (user_data == nullptr) return;  // `result` is discarded on return
        SyncCompletionRecord* record = sync_completion_detail::claim_first_completion(user_data);
        if (record == nullptr) return;
        auto* inner = static_cast<SyncCompletionInner<T>*>(record);
        {
            std::lock_guard lock(inner->mutex);
            inner->state.emplace(std::move(result));
        }
        inner->ready.notify_one();
        sync_completion_detail::drop_reference(inner);
    }

    // The ready-made C completion for calls without a value (start and stop of capture).
    static void callback(void* user_data, bool success,
                         const char* error) noexcept requires std::is_void_v<T> {
        catch_user_panic("UnitCompletion::callback", [&] {
            if (success) {
                complete_with_result(user_data, Result());
            } else {
                complete_with_result(user_data, std::unexpected(error_from_cstr(error)));
            }
        });
    }

private:
    explicit SyncCompletion(SyncCompletionInner<T>* inner) : inner_(inner) {}

    SyncCompletionInner<T>* inner_;
};

}  // namespace capture
