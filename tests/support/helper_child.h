#pragma once

// The shipped helper as the tests that run it see it: where it is, the environment its
// parent gives it, and the status line it ends with.

#include <optional>
#include <string>
#include <vector>

#include "tests/support/pulse_daemon.h"

namespace test_support {

// The path of the helper executable this build made.
const char* helper_binary();

// Only what a parent would pass on: `server` by libpulse's own conventions, with autospawn
// off, reached at `pulse_server` (the server's own address when none is given); sanitizer
// settings pass through.
std::vector<std::string> helper_environment(const PulseDaemon& server,
                                            const std::optional<std::string>& pulse_server = {});

// The duration of an output that is exactly one "OK {seconds}" line, the seconds written as
// digits with an optional point and more digits; nothing for any other output.
std::optional<double> ok_seconds(const std::string& out);

}  // namespace test_support
