// Tests of the cleaner of outside text: what could forge a line or drive a terminal goes.
#include "run/outside_text.h"

#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

TEST(CleanOutsideText, ControlCharactersAsQuestionMarksAndTheCut) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\tb\nc\rd\x1b[31m", "a?b?c?d?[31m"},
      {"\x7f~", "?~"},
      {"\xc2\x80|\xc2\x9f|\xc2\xa0|\xc2\x7f", "?|?|\xc2\xa0|\xc2?"},  // C1 in UTF-8; U+00A0 stays
      {"\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac"},
  };
  for (const auto& [text, clean] : cases) EXPECT_EQ(clean_outside_text(text), clean) << text;
  EXPECT_EQ(clean_outside_text("abcdef", 4), "abcd...");
  EXPECT_EQ(clean_outside_text("abcd", 4), "abcd");
  EXPECT_EQ(clean_outside_text("ab\ncd", 4), "ab?c...");
  EXPECT_EQ(clean_outside_text(std::string(300, 'x')), std::string(kOutsideTextMax, 'x') + "...");
}

}  // namespace
