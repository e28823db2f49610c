// Choosing whether an adapter is flashed: the version display, the "newer" test and the question.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "run/output_sink.h"

/// Answers to a confirmation.
enum confirm_answer {
  kAnswerYes = 0,        ///< flash this adapter
  kAnswerNo = 1,         ///< leave this adapter
  kAnswerQuit = 2,       ///< leave this adapter and end the run
  kAnswerYesNoMore = 3,  ///< flash this adapter and ask about no further one
};

/// 1 when a silent run has just skipped an adapter as up to date; the upgrade
/// run sets it back to 0 once it has passed that adapter over.
extern int fw_invalid;
/// Adapters a silent run skipped as up to date.
extern int fw_invalid_count;

/// Offers adapter `uNicIdx` of g_ninfo: shows its versions, decides and asks,
/// then marks it for flashing (kNicToFlash) or clears its flags, records a
/// quit or a "c" answer in g_iFlag, and leaves its sorted versions in
/// ver_buf. Does nothing for an adapter that was not recognised. Returns 0.
int select_firmware(uint32_t uNicIdx, output_sink& out = live_sink());

/// Shows the running and repository versions of adapter `uNicIdx`, fills
/// ver_buf, decides whether the repository is newer and asks (or answers for
/// the operator in -s, -s -F and -y runs). Returns a confirm_answer.
int is_FW_needed(uint32_t uNicIdx, output_sink& out = live_sink());

/// Asks `prompt` as "%s y/n/q (%s):" with the default label `yorn` and reads
/// the operator's line; an empty line takes `def_ans`. In -s and -y runs
/// answers yes without asking. End of input is a quit.
int nfwu_yesno(const std::string& prompt, int def_ans, const std::string& yorn,
               output_sink& out = live_sink());

/// One reply as read from the operator: the characters of its line up to a
/// bound, whether the line ended in a newline, and its full length.
struct reply_line {
  std::string text;      ///< the line's first characters, newline excluded
  bool newline = false;  ///< the line ended in a newline (not at end of input)
  size_t length = 0;     ///< characters of the whole line, newline excluded
};

/// The answer a reply stands for: an empty line gives `def_ans`; the exact
/// words of yes, quit and "c" give theirs; anything else is no.
int parse_reply(const reply_line& reply, int def_ans);

/// The event text that records one exchange: the prompt as shown, a blank and
/// the reply, control characters made visible and a very long reply cut.
std::string reply_event_text(const std::string& shown_prompt, const reply_line& reply);
