#include "platform/backends/pipewire/pipewire_api.h"

namespace platform::pipewire {

namespace {
constexpr LibraryFunction FUNCTIONS[] = {VMAH_PIPEWIRE_FUNCTIONS(VMAH_LIBRARY_FUNCTION)};
}  // namespace

std::expected<void, std::string> load() {
    static SharedLibrary library("libpipewire-0.3.so.0", "libpipewire", FUNCTIONS,
                                 [] { pw_init(nullptr, nullptr); });
    return library.load();
}

}  // namespace platform::pipewire
