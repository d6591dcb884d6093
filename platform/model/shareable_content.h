// SCShareableContent: a snapshot of what may be captured, obtained asynchronously from the
// installed backend.
#pragma once

#include <functional>
#include <vector>

#include "platform/model/content_description.h"
#include "platform/model/display.h"
#include "platform/model/error.h"
#include "platform/model/object.h"
#include "platform/model/ref.h"
#include "platform/model/running_application.h"
#include "platform/model/window.h"

namespace platform {

class SCShareableContent final : public Object {
public:
    // Exactly one of the two pointers is non-null. Both are borrowed for the call: retain
    // the content to keep it.
    using CompletionHandler = std::function<void(SCShareableContent* content, NSError* error)>;

    // Returns at once; the handler runs exactly once, later, on a platform worker thread.
    // Desktop windows are left out when excludeDesktopWindows is set, windows that are not
    // on screen when onScreenWindowsOnly is set.
    static void getShareableContentExcludingDesktopWindows(bool excludeDesktopWindows,
                                                           bool onScreenWindowsOnly,
                                                           CompletionHandler completionHandler);

    // Fixed for the snapshot's lifetime: the same array on every read.
    const std::vector<Ref<SCDisplay>>& displays() const noexcept { return displays_; }
    const std::vector<Ref<SCWindow>>& windows() const noexcept { return windows_; }
    const std::vector<Ref<SCRunningApplication>>& applications() const noexcept {
        return applications_;
    }

    // Builds a snapshot directly (the content request uses this; so may tests).
    SCShareableContent(const ContentDescription& description, bool excludeDesktopWindows,
                       bool onScreenWindowsOnly);

private:
    ~SCShareableContent() override = default;

    std::vector<Ref<SCDisplay>> displays_;
    std::vector<Ref<SCWindow>> windows_;
    std::vector<Ref<SCRunningApplication>> applications_;
};

}  // namespace platform
