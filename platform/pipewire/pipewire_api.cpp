#include "platform/pipewire/pipewire_api.h"

#include <dlfcn.h>

#include <mutex>

namespace platform::pipewire {

std::expected<void, std::string> load() {
    static std::once_flag once;
    static std::expected<void, std::string> outcome;
    std::call_once(once, [] {
        // Never closed: the library's threads and state live as long as the process.
        void* library = dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            outcome = std::unexpected(std::string(dlerror()));
            return;
        }
#define VMAH_RESOLVE(name)                                                  \
    name = reinterpret_cast<decltype(name)>(dlsym(library, #name));         \
    if (name == nullptr) {                                                  \
        outcome = std::unexpected(std::string("libpipewire lacks " #name)); \
        return;                                                             \
    }
        VMAH_PIPEWIRE_FUNCTIONS(VMAH_RESOLVE)
#undef VMAH_RESOLVE
        pw_init(nullptr, nullptr);
    });
    return outcome;
}

}  // namespace platform::pipewire
