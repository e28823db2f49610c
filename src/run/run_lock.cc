// The machine-wide burn lock.
#include "run/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "run/error_report.h"
#include "run/temp_file.h"
#include "run/text_format.h"

namespace {

// Two burns of one adapter at once can leave it without working firmware,
// and two copies of the repository may live in different directories, so
// the lock is machine-wide rather than per working directory.
const char* const kLockPaths[] = {"/run/lock/fwkit.lock", "/tmp/fwkit.lock"};

unique_fd g_lock_fd;  // held until the process ends

}  // namespace

bool take_burn_lock() {
  if (g_lock_fd.valid()) return true;
  for (const char* path : kLockPaths) {
    unique_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) continue;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      g_lock_fd = std::move(fd);
      return true;
    }
    int error = errno;
    if (error == EWOULDBLOCK) {
      report_internal_error(strprintf(
          "FWUPG_ERROR: another firmware upgrade is running on this server (lock %s), ", path));
    } else {
      report_internal_error(
          strprintf("FWUPG_ERROR: could not lock %s (%d), ", path, error));
    }
    return false;
  }
  report_internal_error(strprintf("FWUPG_ERROR: could not open %s (%d), ", kLockPaths[0], errno));
  return false;
}
