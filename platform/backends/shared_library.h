#pragma once

// A C library opened at run time (dlopen), so that the helper starts and answers on a machine
// without it. Its loader keeps, in its own namespace, one pointer per library function the
// backend calls, named and typed as that function (VMAH_LIBRARY_POINTER), so the backend's
// unqualified calls reach the library; a SharedLibrary fills them all on load. Calls made before
// a successful load are null-pointer calls: load first.

#include <expected>
#include <mutex>
#include <span>
#include <string>

namespace platform {

// One function of a library: its name, and where its address goes.
struct LibraryFunction {
    const char* name;
    void (*store)(void* address);
};

class SharedLibrary {
public:
    // `file` is the name dlopen is given; `label` names the library in the text of a missing
    // function ("<label> lacks <function>"); `after_load` runs once every function is found.
    SharedLibrary(const char* file, const char* label, std::span<const LibraryFunction> functions,
                  void (*after_load)() = nullptr) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Opens the library and fills every pointer, on the first call only; later calls repeat its
    // outcome. Never closed: the library's state and threads live as long as the process.
    const std::expected<void, std::string>& load();

private:
    const char* file_;
    const char* label_;
    std::span<const LibraryFunction> functions_;
    void (*after_load_)();
    std::once_flag once_;
    std::expected<void, std::string> outcome_;
};

}  // namespace platform

// The pointer for the library function `name`: same name, same type, null until loaded.
#define VMAH_LIBRARY_POINTER(name) inline decltype(&::name) name = nullptr;

// The LibraryFunction that fills the pointer `name` of the namespace it is written in.
#define VMAH_LIBRARY_FUNCTION(name) \
    ::platform::LibraryFunction{    \
        #name, [](void* address) { name = reinterpret_cast<decltype(name)>(address); }},
