// Argument vectors cut from the input at NUL bytes, read through the helper's own option
// lookup and --secs parse, with the rules checked against a plain restatement.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "src/command_line.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// The decimal text a parsed value must have come from: the input without its '+' and
// without leading zeros.
std::string canonical_digits(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    return std::string(text);
}

void check_lookup(const std::vector<std::string>& args, std::string_view name) {
    const std::string value = helper::arg(args, name,
                                          "\x01"
                                          "fallback");
    std::size_t first = 0;
    while (first < args.size() && args[first] != name) ++first;
    if (first + 1 >= args.size()) {
        check(value ==
              "\x01"
              "fallback");
    } else {
        check(value == args[first + 1]);
    }
}

void check_secs(std::string_view text) {
    const auto secs = helper::parse_secs(text);
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    bool all_digits = !digits.empty();
    for (char c : digits) all_digits = all_digits && c >= '0' && c <= '9';
    if (!all_digits) {
        check(!secs);
        return;
    }
    const std::string canonical = canonical_digits(text);
    // Twenty digits may still fit; fewer always fit; more never do.
    const bool fits =
        canonical.size() < 20 || (canonical.size() == 20 && canonical <= "18446744073709551615");
    check(secs.has_value() == fits);
    if (secs) check(std::to_string(*secs) == canonical);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);

    check_lookup(args, "--out");
    check_lookup(args, "--secs");
    for (const auto& a : args) check_secs(a);
    return 0;
}
