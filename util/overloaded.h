#pragma once

// Here rather than in a layer: a language-level helper for std::visit, tied to no layer,
// that any of them may use.

namespace util {

// One visitor out of several lambdas.
template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

}  // namespace util
