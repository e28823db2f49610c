// The event log: opening it for a mode and appending events.
#include "run/event_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "run/error_report.h"
#include "run/exit_status.h"
#include "run/text_format.h"

namespace {

std::FILE* pmstflint_fout = nullptr;

}  // namespace

void open_event_log() {
  if (pmstflint_fout) return;
  pmstflint_fout = std::fopen(kEventLogName, "ae");
  if (!pmstflint_fout) {
    report_internal_error(strprintf("FWUPG_ERROR: could not open %s (%d), ", kEventLogName, errno));
    std::exit(kExitFailure);
  }
}

std::string format_event_line(const char* tag, const std::string& time_text,
                              const std::string& text) {
  return std::string(tag) + " [" + time_text + "] " + text + "\n";
}

void log_mellanox_event(const char* tag, const std::string& text) {
  if (!pmstflint_fout) return;
  std::time_t now = std::time(nullptr);
  char time_buf[64] = {};
  std::string time_text;
  if (ctime_r(&now, time_buf)) time_text = time_buf;
  if (size_t newline = time_text.find('\n'); newline != std::string::npos)
    time_text.erase(newline);
  std::string line = format_event_line(tag, time_text, text);
  std::fwrite(line.data(), 1, line.size(), pmstflint_fout);
  std::fflush(pmstflint_fout);
}
