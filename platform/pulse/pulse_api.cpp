#include "platform/pulse/pulse_api.h"

#include <dlfcn.h>

#include <mutex>

namespace platform::pulse {

std::expected<void, std::string> load() {
    static std::once_flag once;
    static std::expected<void, std::string> outcome;
    std::call_once(once, [] {
        // Never closed: the library's state lives as long as the process. Lazy: of the
        // functions libpulse and the some 30 libraries it brings import, only those called
        // are looked up (opening it takes a quarter fewer instructions).
        void* library = dlopen("libpulse.so.0", RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr) {
            outcome = std::unexpected(std::string(dlerror()));
            return;
        }
#define VMAH_RESOLVE(name)                                               \
    name = reinterpret_cast<decltype(name)>(dlsym(library, #name));      \
    if (name == nullptr) {                                               \
        outcome = std::unexpected(std::string("libpulse lacks " #name)); \
        return;                                                          \
    }
        VMAH_PULSE_FUNCTIONS(VMAH_RESOLVE)
#undef VMAH_RESOLVE
    });
    return outcome;
}

}  // namespace platform::pulse
