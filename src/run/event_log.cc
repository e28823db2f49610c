// The event log: opening it for a mode and appending events.
#include "run/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "run/error_report.h"
#include "run/file_io.h"
#include "run/text_format.h"

namespace {

unique_fd pmstflint_fout;
bool write_failure_reported = false;

// The log as root may write it: never through a link (which could lead
// anywhere), never a FIFO or device, only a file of root's or ours; made
// 0644 when new, whatever the umask. Invalid (errno set) otherwise.
unique_fd open_log_file() {
  const int flags = O_WRONLY | O_APPEND;
  unique_fd fd = open_regular_file(kEventLogName, flags | O_CREAT | O_EXCL, true);
  if (fd.valid()) {
    fchmod(fd.get(), 0644);
    return fd;
  }
  if (errno != EEXIST) return fd;
  fd = open_regular_file(kEventLogName, flags, true);
  struct stat info;
  if (fd.valid() && (fstat(fd.get(), &info) != 0 || (info.st_uid != 0 && info.st_uid != geteuid()))) {
    fd.reset();
    errno = EPERM;
  }
  return fd;
}

}  // namespace

bool open_event_log() {
  if (pmstflint_fout.valid()) return true;
  pmstflint_fout = open_log_file();
  if (!pmstflint_fout.valid()) {
    report_internal_error(strprintf("FWUPG_ERROR: could not open %s (%d), ", kEventLogName, errno));
    return false;
  }
  return true;
}

bool is_event_log(const std::string& path) {
  struct stat log, other;
  return pmstflint_fout.valid() && fstat(pmstflint_fout.get(), &log) == 0 &&
         stat(path.c_str(), &other) == 0 && log.st_dev == other.st_dev && log.st_ino == other.st_ino;
}

std::string format_event_line(const char* tag, const std::string& time_text,
                              const std::string& text) {
  return std::string(tag) + " [" + time_text + "] " + text + "\n";
}

void log_mellanox_event(const char* tag, const std::string& text) {
  if (!pmstflint_fout.valid()) return;
  std::time_t now = std::time(nullptr);
  char time_buf[64] = {};
  std::string time_text;
  if (ctime_r(&now, time_buf)) time_text = time_buf;
  if (size_t newline = time_text.find('\n'); newline != std::string::npos)
    time_text.erase(newline);
  // One write per event: with O_APPEND, events of runs side by side never mix.
  if (!write_all(pmstflint_fout.get(), format_event_line(tag, time_text, text)) &&
      !write_failure_reported) {
    // Once: the run goes on, but the operator must know its history is lost.
    write_failure_reported = true;
    const int error = errno;
    report_internal_error(strprintf("FWUPG_ERROR: could not write to %s (%d, %s), ", kEventLogName,
                                    error, std::strerror(error)));
  }
}
