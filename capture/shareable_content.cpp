#include "capture/shareable_content.h"

#include "capture/callback_guard.h"
#include "capture/sync_completion.h"

namespace capture {

void shareable_content_callback(sc_shareable_content* content, const char* error,
                                void* user_data) noexcept {
    catch_user_panic("shareable_content_callback", [&] {
        // Owned from here on, so that a discarded result gives the reference back.
        SCShareableContent owned(content);
        using Result = SyncCompletionResult<SCShareableContent>;
        // No error text and no content is an error of unknown text.
        Result result = error == nullptr && content != nullptr
                            ? Result(std::move(owned))
                            : Result(std::unexpected(error_from_cstr(error)));
        SyncCompletion<SCShareableContent>::complete_with_result(user_data, std::move(result));
    });
}

std::expected<SCShareableContent, SCError> SCShareableContent::get() {
    auto [completion, user_data] = SyncCompletion<SCShareableContent>::create();
    sc_shareable_content_get_with_options(false, false, shareable_content_callback, user_data);
    auto result = std::move(completion).wait();
    if (!result) return std::unexpected(SCError(SCError::NoShareableContent{result.error()}));
    return std::move(*result);
}

std::vector<SCDisplay> SCShareableContent::displays() const {
    std::vector<SCDisplay> list;
    const int64_t count = sc_shareable_content_get_displays_count(raw());
    for (int64_t index = 0; index < count; ++index) {
        if (sc_display* display = sc_shareable_content_get_display_at(raw(), index)) {
            list.emplace_back(display);
        }
    }
    return list;
}

}  // namespace capture
