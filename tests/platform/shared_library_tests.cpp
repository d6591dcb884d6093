// The run-time loader the sound-server backends open their client libraries with, over libc.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "platform/backends/shared_library.h"

namespace library_test {

VMAH_LIBRARY_POINTER(strlen)

int after_loads = 0;
int stores_of_missing = 0;
void count_after_load() { ++after_loads; }

TEST(SharedLibrary, FillsEveryPointerThenRunsTheAfterLoadStepOnce) {
    after_loads = 0;
    const platform::LibraryFunction functions[] = {VMAH_LIBRARY_FUNCTION(strlen)};
    platform::SharedLibrary library("libc.so.6", "libc", functions, count_after_load);
    ASSERT_EQ(strlen, nullptr);
    const auto& loaded = library.load();
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    ASSERT_NE(strlen, nullptr);
    EXPECT_EQ(strlen("four"), 4u);
    EXPECT_TRUE(library.load().has_value());
    EXPECT_EQ(after_loads, 1);
}

// A library that is not there, or lacks a function, is an error text that later loads repeat,
// and the after-load step never runs.
TEST(SharedLibrary, AMissingLibraryOrFunctionIsReportedAndRepeated) {
    struct Case {
        const char* file;
        std::string error;  // what the text starts with
    };
    const std::vector<Case> cases = {
        {"libvmah-absent.so.0", "libvmah-absent.so.0: cannot open shared object file"},
        {"libc.so.6", "libc lacks vmah_no_such_function"},
    };
    const platform::LibraryFunction functions[] = {
        {"strlen", [](void*) {}},
        {"vmah_no_such_function", [](void*) { ++stores_of_missing; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        after_loads = 0;
        platform::SharedLibrary library(c.file, "libc", functions, count_after_load);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto& loaded = library.load();
            ASSERT_FALSE(loaded.has_value());
            EXPECT_EQ(loaded.error().substr(0, c.error.size()), c.error) << loaded.error();
        }
        EXPECT_EQ(after_loads, 0);
        EXPECT_EQ(stores_of_missing, 0);
    }
}

}  // namespace library_test
