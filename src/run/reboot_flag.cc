// The reboot flag in /run.
#include "run/reboot_flag.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "run/event_log.h"
#include "run/file_io.h"
#include "run/text_format.h"

namespace {

constexpr std::string_view kPackageLine = "fwkit";
constexpr std::string_view kFlagText = "*** System restart required ***\n";

// Opens (or creates) a regular file for writing, never through a link nor
// blocking on a FIFO; sets errno and gives an invalid descriptor otherwise.
unique_fd open_flag_file(const char* path, int flags) {
  unique_fd fd = open_regular_file(path, flags | O_WRONLY | O_CREAT, true);
  struct stat st;
  // Readable by everyone whatever our umask: update tools read the flag.
  if (fd.valid() && fstat(fd.get(), &st) == 0 && (st.st_mode & 07777) != 0644)
    fchmod(fd.get(), 0644);
  return fd;
}

// The bytes to append to a packages file holding `pkgs` so that it lists
// fwkit: empty when a line "fwkit" is there already.
std::string pkgs_addition(const std::string& pkgs) {
  std::string_view rest = pkgs;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    if (rest.substr(0, end) == kPackageLine) return "";
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  std::string addition = !pkgs.empty() && pkgs.back() != '\n' ? "\n" : "";
  return addition.append(kPackageLine).append("\n");
}

struct flag_failure {
  const char* path = nullptr;  // nullptr: both files are written
  int error = 0;
};

flag_failure failed(const char* path) { return {path, errno}; }

flag_failure write_flag_files() {
  unique_fd flag = open_flag_file(kRebootRequiredPath, 0);
  struct stat st;
  if (!flag.valid() || fstat(flag.get(), &st) != 0) return failed(kRebootRequiredPath);
  if (st.st_size == 0 && !write_all(flag.get(), kFlagText)) return failed(kRebootRequiredPath);

  std::string pkgs;
  read_file_text(kRebootRequiredPkgsPath, &pkgs);  // absent: empty
  const std::string addition = pkgs_addition(pkgs);
  if (addition.empty()) return {};
  unique_fd list = open_flag_file(kRebootRequiredPkgsPath, O_APPEND);
  if (!list.valid() || !write_all(list.get(), addition)) return failed(kRebootRequiredPkgsPath);
  return {};
}

}  // namespace

void flag_reboot_required() {
  if (const flag_failure failure = write_flag_files(); failure.path != nullptr) {
    log_mellanox_event(kTagWarning,
                       strprintf("Could not write %s (%d): reboot the server for the new firmware "
                                 "to run\n",
                                 failure.path, failure.error));
  }
}
