#include "platform/backends/shared_library.h"

#include <dlfcn.h>

namespace platform {

SharedLibrary::SharedLibrary(const char* file, const char* label,
                             std::span<const LibraryFunction> functions,
                             void (*after_load)()) noexcept
    : file_(file), label_(label), functions_(functions), after_load_(after_load) {}

const std::expected<void, std::string>& SharedLibrary::load() {
    std::call_once(once_, [this] {
        // Lazily bound: of the library and its dependencies only the functions called are
        // looked up, which costs less at start than resolving all of them.
        void* library = dlopen(file_, RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr) {
            outcome_ = std::unexpected(std::string(dlerror()));
            return;
        }
        for (const LibraryFunction& function : functions_) {
            void* address = dlsym(library, function.name);
            if (address == nullptr) {
                outcome_ = std::unexpected(std::string(label_) + " lacks " + function.name);
                return;
            }
            function.store(address);
        }
        if (after_load_ != nullptr) after_load_();
    });
    return outcome_;
}

}  // namespace platform
