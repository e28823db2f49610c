// Image selection and confirmation for the upgrade run.
#include "upgrade/image_selection.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "burn/image_flashing.h"
#include "inventory/nic_info.h"
#include "repository/fw_catalog.h"
#include "repository/fw_version.h"
#include "run/console.h"
#include "run/event_log.h"
#include "run/output_sink.h"
#include "run/run_state.h"
#include "run/text_format.h"

int fw_invalid = 0;
int fw_invalid_count = 0;

namespace {

// A reply is kept up to this many characters; the rest of a longer line is
// read and dropped, since no answer word is that long.
constexpr size_t kReplyKeep = 4096;
// At most this many characters of a reply go into the log.
constexpr size_t kReplyLogged = 499;

// Reads one line from standard input, of any length. False at end of input
// (or a read error) before any character.
bool read_reply(reply_line* reply) {
  *reply = reply_line{};
  int c;
  while ((c = std::getc(stdin)) != EOF) {
    if (c == '\n') {
      reply->newline = true;
      return true;
    }
    if (reply->text.size() < kReplyKeep) reply->text.push_back(static_cast<char>(c));
    ++reply->length;
  }
  return reply->length > 0;
}

bool is_one_of(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* word : words) {
    if (text == word) return true;
  }
  return false;
}

}  // namespace

int parse_reply(const reply_line& reply, int def_ans) {
  if (reply.length == 0) return def_ans;
  if (reply.length != reply.text.size()) return kAnswerNo;
  if (is_one_of(reply.text, {"y", "yes", "Y", "Yes", "YES"})) return kAnswerYes;
  if (is_one_of(reply.text, {"q", "Q", "Quit", "QUIT", "quit"})) return kAnswerQuit;
  if (is_one_of(reply.text, {"c", "C"})) return kAnswerYesNoMore;
  return kAnswerNo;
}

std::string reply_event_text(const std::string& shown_prompt, const reply_line& reply) {
  std::string text = shown_prompt + " ";
  size_t shown = 0;
  for (char c : reply.text) {
    if (shown++ == kReplyLogged) break;
    unsigned char u = static_cast<unsigned char>(c);
    // A reply must not be able to forge event lines or drive a terminal
    // that displays the log.
    if (u < 0x20 || u == 0x7f) {
      text += strprintf("\\x%02x", u);
    } else {
      text.push_back(c);
    }
  }
  if (reply.length > kReplyLogged) {
    text += strprintf("... (%zu characters)", reply.length);
  }
  if (reply.newline) text += "\n";
  return text + "\n";
}

int nfwu_yesno(const std::string& prompt, int def_ans, const std::string& yorn, output_sink& out) {
  if (g_iFlag & kOptSilent) return kAnswerYes;
  if (g_iFlag & kOptYes) return kAnswerYes;

  std::string shown = strprintf("%s y/n/q (%s):", prompt.c_str(), yorn.c_str());
  out.message(shown);
  flush_console();

  reply_line reply;
  if (!read_reply(&reply)) {
    out.message("Unknown input problem!\nQuit...\n");
    return kAnswerQuit;
  }
  out.event(kTagInfo, reply_event_text(shown, reply));
  return parse_reply(reply, def_ans);
}

int is_FW_needed(uint32_t uNicIdx, output_sink& out) {
  if (uNicIdx >= g_ninfo.size()) return kAnswerNo;
  const nic_info& nic = g_ninfo[uNicIdx];
  const std::string question = fw_version_message();
  const int count = image_count(nic);

  ver_buf.clear();
  for (const fw_version& version : sorted_image_versions(nic)) ver_buf.push_back(version_text(version));

  const fw_version running = running_version(nic);
  bool newer = false;
  for (int i = 0; i < count && !newer; ++i) newer = is_newer(image_version(nic, i), running);
  if (newer) {
    out.message(
        strprintf("Repository has New firmware version for interface "
                  "%s.................Please flash the newer version\n",
                  nic.pbus_info.c_str()));
  }

  out.message(strprintf("\nCurrent Firmware Version is %u.%u.%u on %s \n", running.major,
                        running.minor, running.release, nic.pbus_info.c_str()));
  if (count > 0) {
    out.message("Repository has these firmware versions............");
    for (size_t row = 0; row < ver_buf.size(); ++row) {
      out.message(strprintf("[%zu] Image Version  %s\n", row + 1, ver_buf[row].c_str()));
    }
  }

  if (newer) return nfwu_yesno(question, kAnswerYes, "y", out);

  out.event(kTagWarning, "*** WARNING *** - Installed firmware is the latest firmware\n");
  out.message(
      "Repository doesn't have newer firmware version, Installed firmware version is the "
      "latest one..........Please Quit the updation.\n");
  if ((g_iFlag & kOptionBits) == kOptSilent) {
    fw_invalid = 1;
    ++fw_invalid_count;
    return kAnswerNo;
  }
  return nfwu_yesno(question, kAnswerNo, "n", out);
}

int select_firmware(uint32_t uNicIdx, output_sink& out) {
  if (uNicIdx >= g_ninfo.size()) return 0;
  nic_info& nic = g_ninfo[uNicIdx];
  if (!(nic.flags & kNicRecognised)) return 0;

  const int count = image_count(nic);
  for (int i = 0; i < count; ++i) {
    if (nic.pxmlFwImage[i].find("n/a") != std::string::npos) {
      out.event(kTagWarning,
                strprintf("Failed to get firmware image filename from %s\n", g_XMLFwFile));
    }
  }

  switch (is_FW_needed(uNicIdx, out)) {
    case kAnswerYes:
      nic.flags |= kNicToFlash;
      break;
    case kAnswerYesNoMore:
      nic.flags |= kNicToFlash;
      g_iFlag |= kStatusAskNoMore;
      break;
    // Not to be flashed; what the run read of the adapter stays (the metrics show it).
    case kAnswerQuit:
      nic.flags &= ~kNicToFlash;
      g_iFlag |= kStatusQuit;
      break;
    default:
      nic.flags &= ~kNicToFlash;
      break;
  }
  return 0;
}
