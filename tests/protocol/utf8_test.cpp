#include "protocol/utf8.h"

#include <gtest/gtest.h>

namespace glimra {
namespace {

struct Utf8Case {
  const char* name;
  std::string input;
  std::string repaired;
};

const std::string kFFFD = "\xEF\xBF\xBD";

void PrintTo(const Utf8Case& c, std::ostream* out) { *out << c.name; }

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, RepairsIllFormedSequences) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(makeValidUTF8(c.input), c.repaired);
  EXPECT_EQ(isValidUTF8(c.input), c.input == c.repaired);
  EXPECT_TRUE(isValidUTF8(makeValidUTF8(c.input)));
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Test,
    ::testing::Values(Utf8Case{"Empty", "", ""}, Utf8Case{"Ascii", "plain / text", "plain / text"},
                      Utf8Case{"AllLengths", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                               "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                      Utf8Case{"EmbeddedNul", std::string("a\0b", 3), std::string("a\0b", 3)},
                      Utf8Case{"LoneContinuation", "a\x80z", "a" + kFFFD + "z"},
                      Utf8Case{"InvalidLeads", "\xC0\xC1\xF5\xFF", kFFFD + kFFFD + kFFFD + kFFFD},
                      Utf8Case{"Overlong", "\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},
                      Utf8Case{"Surrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
                      Utf8Case{"AboveMaximum", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
                      // A truncated sequence is one maximal subpart: one replacement.
                      Utf8Case{"Truncated", "\xE2\x82z", kFFFD + "z"},
                      Utf8Case{"TruncatedAtEnd", "ok\xF0\x9F\x98", "ok" + kFFFD}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace glimra
