#include "platform/model/shareable_content.h"

#include <string>
#include <utility>

#include "platform/model/backend.h"
#include "platform/runtime/runtime.h"

namespace platform {

SCShareableContent::SCShareableContent(const ContentDescription& description,
                                       bool excludeDesktopWindows, bool onScreenWindowsOnly)
    : Object(Kind::ShareableContent) {
    displays_.reserve(description.displays.size());
    for (const auto& display : description.displays) {
        displays_.push_back(make<SCDisplay>(display));
    }
    for (const auto& window : description.windows) {
        if (excludeDesktopWindows && window.desktop) continue;
        if (onScreenWindowsOnly && !window.on_screen) continue;
        windows_.push_back(make<SCWindow>(window));
    }
    for (const auto& application : description.applications) {
        applications_.push_back(make<SCRunningApplication>(application));
    }
}

void SCShareableContent::getShareableContentExcludingDesktopWindows(
    bool excludeDesktopWindows, bool onScreenWindowsOnly, CompletionHandler completionHandler) {
    auto answer = [excludeDesktopWindows, onScreenWindowsOnly,
                   handler = std::move(completionHandler)](ContentResult result) {
        if (result) {
            const auto content =
                make<SCShareableContent>(*result, excludeDesktopWindows, onScreenWindowsOnly);
            handler(content.get(), nullptr);
        } else {
            const auto error = stream_error(SCStreamErrorNoDisplayList, result.error());
            handler(nullptr, error.get());
        }
    };
    const auto backend = installed_backend();
    if (!backend) {
        post([answer = std::move(answer)] {
            answer(std::unexpected(std::string("No capture backend is installed")));
        });
        return;
    }
    backend->get_content(Reply<ContentResult>(
        std::move(answer), std::unexpected(std::string("The capture backend did not answer"))));
}

}  // namespace platform
