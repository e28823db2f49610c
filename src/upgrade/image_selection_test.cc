// Tests of reading the operator's reply to a confirmation.
#include "upgrade/image_selection.h"

#include <gtest/gtest.h>

namespace {

reply_line typed(const std::string& text, bool newline = true) {
  reply_line reply;
  reply.text = text;
  reply.newline = newline;
  reply.length = text.size();
  return reply;
}

TEST(ParseReply, WordsAndTheirAnswers) {
  struct Case {
    const char* reply;
    int answer;
  } cases[] = {
      {"y", kAnswerYes},       {"yes", kAnswerYes},       {"Y", kAnswerYes},
      {"Yes", kAnswerYes},     {"YES", kAnswerYes},       {"q", kAnswerQuit},
      {"Q", kAnswerQuit},      {"Quit", kAnswerQuit},     {"QUIT", kAnswerQuit},
      {"quit", kAnswerQuit},   {"c", kAnswerYesNoMore},   {"C", kAnswerYesNoMore},
      {"n", kAnswerNo},        {"no", kAnswerNo},         {"N", kAnswerNo},
      {"nope", kAnswerNo},     {" y", kAnswerNo},         {"y ", kAnswerNo},
      {"yES", kAnswerNo},      {"qUit", kAnswerNo},       {"y\r", kAnswerNo},
      {"yes please", kAnswerNo}, {"cc", kAnswerNo},       {" ", kAnswerNo},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_reply(typed(c.reply), kAnswerYes), c.answer) << '"' << c.reply << '"';
    EXPECT_EQ(parse_reply(typed(c.reply), kAnswerNo), c.answer) << '"' << c.reply << '"';
  }
}

TEST(ParseReply, EmptyLineTakesTheDefault) {
  EXPECT_EQ(parse_reply(typed(""), kAnswerYes), kAnswerYes);
  EXPECT_EQ(parse_reply(typed(""), kAnswerNo), kAnswerNo);
}

TEST(ParseReply, OneCharacterAtEndOfInputIsTakenAsTyped) {
  // "n" followed by end of input must not turn into the default yes.
  EXPECT_EQ(parse_reply(typed("n", false), kAnswerYes), kAnswerNo);
  EXPECT_EQ(parse_reply(typed("y", false), kAnswerNo), kAnswerYes);
}

TEST(ParseReply, CutOffLineIsNeverAnAnswerWord) {
  reply_line reply = typed("y");
  reply.length = 5000;  // "y" and 4999 more characters that were not kept
  EXPECT_EQ(parse_reply(reply, kAnswerYes), kAnswerNo);
}

TEST(ReplyEventText, RecordsPromptAndReplyAsTyped) {
  EXPECT_EQ(reply_event_text("Q y/n/q (y):", typed("yes")), "Q y/n/q (y): yes\n\n");
  EXPECT_EQ(reply_event_text("Q y/n/q (y):", typed("")), "Q y/n/q (y): \n\n");
  EXPECT_EQ(reply_event_text("Q y/n/q (y):", typed("n", false)), "Q y/n/q (y): n\n");
}

TEST(ReplyEventText, ControlCharactersCannotForgeLines) {
  EXPECT_EQ(reply_event_text("P:", typed("y\r[ERROR] x\x1b[2J")),
            "P: y\\x0d[ERROR] x\\x1b[2J\n\n");
}

TEST(ReplyEventText, LongReplyIsCutWithItsLength) {
  reply_line reply = typed(std::string(4096, 'a'));
  reply.length = 100000;
  std::string text = reply_event_text("P:", reply);
  EXPECT_EQ(text, "P: " + std::string(499, 'a') + "... (100000 characters)\n\n");
}

}  // namespace
