#pragma once

// GoogleTest support for tests on the scripted platform: a fixture that installs a fresh
// scripted backend and, after each test, waits for the platform's workers to go idle and
// checks that no platform object is left alive; and an environment that joins the
// platform's threads after the last test.

#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
#include <memory>

#include "platform/backends/scripted/scripted_backend.h"
#include "platform/model/object.h"
#include "platform/runtime/runtime.h"

namespace platform::scripted {

// The platform's name for objects of `kind`.
inline const char* kind_name(Kind kind) {
    static constexpr const char* NAMES[] = {"SCShareableContent",
                                            "SCDisplay",
                                            "SCWindow",
                                            "SCRunningApplication",
                                            "SCContentFilter",
                                            "SCStreamConfiguration",
                                            "SCStream",
                                            "DispatchQueue",
                                            "CMSampleBuffer",
                                            "CMBlockBuffer",
                                            "NSError",
                                            "SCStreamOutput",
                                            "SCStreamDelegate"};
    static_assert(std::size(NAMES) == static_cast<std::size_t>(Kind::Count));
    return NAMES[static_cast<std::size_t>(kind)];
}

// Expects no live platform object, naming each kind that has some.
inline void expect_no_live_objects() {
    platform::wait_idle();
    for (std::size_t k = 0; k < static_cast<std::size_t>(Kind::Count); ++k) {
        const auto kind = static_cast<Kind>(k);
        EXPECT_EQ(live_objects(kind), 0u) << "live " << kind_name(kind) << " objects";
    }
    EXPECT_EQ(live_objects_total(), 0u);
}

class ScriptedPlatformTest : public ::testing::Test {
protected:
    void SetUp() override { backend = ScriptedBackend::install(); }
    void TearDown() override {
        platform::wait_idle();
        platform::install_backend(nullptr);
        backend.reset();
        expect_no_live_objects();
    }

    std::shared_ptr<ScriptedBackend> backend;
};

class PlatformShutdownEnvironment : public ::testing::Environment {
public:
    void TearDown() override { platform::shutdown(); }
};

inline ::testing::Environment* const PLATFORM_SHUTDOWN_ENVIRONMENT =
    ::testing::AddGlobalTestEnvironment(new PlatformShutdownEnvironment);

}  // namespace platform::scripted
