// Reading the operator's reply to a confirmation, and how it is logged.
#include "upgrade/image_selection.h"

#include <gtest/gtest.h>

namespace {

// A reply line as read; `length` 0 stands for the text's own.
reply_line typed(const std::string& text, bool newline = true, size_t length = 0) {
  return reply_line{text, newline, length ? length : text.size()};
}

TEST(ParseReply, ExactWordsOnlyAndTheDefaultForAnEmptyLine) {
  for (const char* word : {"y", "yes", "Y", "Yes", "YES"})
    EXPECT_EQ(parse_reply(typed(word), kAnswerNo), kAnswerYes) << word;
  for (const char* word : {"q", "Q", "Quit", "QUIT", "quit"})
    EXPECT_EQ(parse_reply(typed(word), kAnswerYes), kAnswerQuit) << word;
  for (const char* word : {"c", "C"})
    EXPECT_EQ(parse_reply(typed(word), kAnswerNo), kAnswerYesNoMore) << word;
  for (const char* word : {"n", "no", "N", " y", "y ", "yES", "qUit", "y\r", "yes please", "cc", " "})
    EXPECT_EQ(parse_reply(typed(word), kAnswerYes), kAnswerNo) << '"' << word << '"';
  EXPECT_EQ(parse_reply(typed(""), kAnswerYes), kAnswerYes);
  EXPECT_EQ(parse_reply(typed(""), kAnswerNo), kAnswerNo);
  // One character then end of input is taken as typed, not as the default.
  EXPECT_EQ(parse_reply(typed("y", false), kAnswerNo), kAnswerYes);
  // "y" and 4999 more characters that were not kept: never an answer word.
  EXPECT_EQ(parse_reply(typed("y", true, 5000), kAnswerYes), kAnswerNo);
}

TEST(ReplyEventText, ControlCharactersCannotForgeLines) {
  EXPECT_EQ(reply_event_text("P:", typed("y\r[ERROR] x\x1b[2J\x7f")),
            "P: y\\x0d[ERROR] x\\x1b[2J\\x7f\n\n");
}

}  // namespace
