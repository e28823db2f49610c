// The reboot flag in /run.
#include "run/reboot_flag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "run/event_log.h"
#include "run/temp_file.h"
#include "run/text_format.h"

namespace {

constexpr std::string_view kPackageLine = "fwkit";
constexpr std::string_view kFlagText = "*** System restart required ***\n";

// Opens a regular file for writing without following a link or blocking on a
// FIFO, mode 0644; sets errno and gives an invalid descriptor otherwise.
unique_fd open_regular(const char* path, int flags) {
  unique_fd fd(open(path, flags | O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st;
  if (fd.valid() && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
    fd.reset();
    errno = EINVAL;
  }
  // Readable by everyone whatever our umask: update tools read the flag.
  if (fd.valid() && (st.st_mode & 07777) != 0644) fchmod(fd.get(), 0644);
  return fd;
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
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
  unique_fd flag = open_regular(kRebootRequiredPath, 0);
  struct stat st;
  if (!flag.valid() || fstat(flag.get(), &st) != 0) return failed(kRebootRequiredPath);
  if (st.st_size == 0 && !write_all(flag.get(), kFlagText)) return failed(kRebootRequiredPath);

  std::string pkgs;
  read_file_text(kRebootRequiredPkgsPath, &pkgs);  // absent: empty
  const std::string addition = pkgs_addition(pkgs);
  if (addition.empty()) return {};
  unique_fd list = open_regular(kRebootRequiredPkgsPath, O_APPEND);
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
