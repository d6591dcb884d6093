// The tests' one reading of the helper's "OK {seconds}" line against what the helper writes.

#include "src/status_line.h"
#include "tests/support/helper_child.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using test_support::ok_seconds;

TEST(OkSeconds, ReadsBackWhatTheHelperPrints) {
    for (double value : {0.0, 0.02, 1.0 / 3.0, 12.02, 60.0, 61.5, 1e-7, 1e21}) {
        const std::string line = "OK " + helper::format_seconds(value) + "\n";
        EXPECT_EQ(ok_seconds(line), value) << line;
    }
}

TEST(OkSeconds, RefusesAnythingButOneLineOfPlainDigits) {
    for (const char* out : {"OK 1e3\n", "OK -1\n", "OK +1\n", "OK  1\n", "OK 1 \n", "OK inf\n",
                            "OK nan\n", "OK 0x1p3\n", "OK 1.\n", "OK .5\n", "OK 1.2.3\n", "OK \n",
                            "OK 1", "OK 1\n\n", "OK 1\nOK 2\n", "ok 1\n", "UNAVAILABLE x\n", ""}) {
        EXPECT_EQ(ok_seconds(out), std::nullopt) << '[' << out << ']';
    }
}

}  // namespace
