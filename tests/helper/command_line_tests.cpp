#include "src/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using helper::arg;
using helper::parse_secs;

std::string out_of(std::vector<std::string> args) { return arg(args, "--out", "DEF"); }

TEST(Arg, FindsValueAfterFirstExactMatch) {
    EXPECT_EQ(out_of({"prog", "--out", "a.opus"}), "a.opus");
    EXPECT_EQ(out_of({"prog", "--out", "a", "--out", "b"}), "a");
    EXPECT_EQ(out_of({"prog", "--secs", "5", "--out", "x"}), "x");
    // The value is taken verbatim, even when it looks like an option or is empty.
    EXPECT_EQ(out_of({"prog", "--out", "--secs", "5"}), "--secs");
    EXPECT_EQ(out_of({"prog", "--out", "--out", "x"}), "--out");
    EXPECT_EQ(out_of({"prog", "--out", ""}), "");
    // The program name takes part in the search.
    EXPECT_EQ(out_of({"--out", "p"}), "p");
    // Bytes pass through untouched.
    EXPECT_EQ(out_of({"prog", "--out", "\xff\xfe/\x80"}), "\xff\xfe/\x80");
}

TEST(Arg, FallsBackWithoutUsableMatch) {
    EXPECT_EQ(out_of({}), "DEF");
    EXPECT_EQ(out_of({"prog"}), "DEF");
    EXPECT_EQ(out_of({"prog", "--out"}), "DEF");
    EXPECT_EQ(out_of({"prog", "x", "--out"}), "DEF");
    EXPECT_EQ(out_of({"prog", "--out=x"}), "DEF");
    EXPECT_EQ(out_of({"prog", "--OUT", "x"}), "DEF");
    EXPECT_EQ(out_of({"prog", "--out ", "x"}), "DEF");
    EXPECT_EQ(out_of({"prog", "-out", "x"}), "DEF");
    EXPECT_EQ(out_of({"prog", "", "x"}), "DEF");
}

TEST(ParseSecs, AcceptsDigitsWithOptionalPlus) {
    EXPECT_EQ(parse_secs("0"), 0u);
    EXPECT_EQ(parse_secs("5"), 5u);
    EXPECT_EQ(parse_secs("+5"), 5u);
    EXPECT_EQ(parse_secs("007"), 7u);
    EXPECT_EQ(parse_secs("+000"), 0u);
    EXPECT_EQ(parse_secs("18446744073709551615"), 18446744073709551615u);
    EXPECT_EQ(parse_secs("00000000000000000000018446744073709551615"), 18446744073709551615u);
}

TEST(ParseSecs, RejectsEverythingElse) {
    for (const char* text :
         {"", "+", "-", "-5", "-0", "++5", "+-5", "5s", "s5", " 5", "5 ", "5\n", "0x10", "1e3",
          "1.5", "5,0", "\xd9\xa5", "18446744073709551616", "99999999999999999999"}) {
        EXPECT_EQ(parse_secs(text), std::nullopt) << '"' << text << '"';
    }
    EXPECT_EQ(parse_secs(std::string_view("5\0", 2)), std::nullopt);
}

}  // namespace
