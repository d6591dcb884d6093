#include "platform/backends/pulse/pulse_api.h"

namespace platform::pulse {

namespace {
constexpr LibraryFunction FUNCTIONS[] = {VMAH_PULSE_FUNCTIONS(VMAH_LIBRARY_FUNCTION)};
}  // namespace

std::expected<void, std::string> load() {
    static SharedLibrary library("libpulse.so.0", "libpulse", FUNCTIONS);
    return library.load();
}

}  // namespace platform::pulse
