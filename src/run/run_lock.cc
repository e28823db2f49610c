// The machine-wide burn lock.
#include "run/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "run/error_report.h"
#include "run/file_io.h"
#include "run/text_format.h"

namespace {

// Two burns of one adapter at once can leave it without working firmware,
// and two copies of the repository may live in different directories, so
// the lock is machine-wide rather than per working directory. It lives in a
// directory only root may write, and only there: a second place would let
// two runs lock two different files.
const char* const kLockPath = "/run/fwkit.lock";

unique_fd g_lock_fd;  // held until the process ends, and by every burn it starts

// A burning run that meets the test of burn_lock_free tries again for this
// long before it takes the lock for held.
constexpr int kLockTries = 10;
constexpr useconds_t kLockRetryMicroseconds = 10'000;

void report_held() {
  report_internal_error(strprintf(
      "FWUPG_ERROR: another firmware upgrade is running on this server (lock %s), ", kLockPath));
}

}  // namespace

bool take_burn_lock() {
  if (g_lock_fd.valid()) return true;
  // No link is followed, and the file is ours alone: nobody else may open it,
  // let alone hold it to block every update.
  unique_fd fd = open_regular_file(kLockPath, O_RDWR | O_CREAT, true, 0600);
  const bool regular = fd.valid() || errno != EINVAL;
  struct stat info;
  if (regular && (!fd.valid() || fstat(fd.get(), &info) != 0)) {
    report_internal_error(strprintf("FWUPG_ERROR: could not open %s (%d), ", kLockPath, errno));
    return false;
  }
  if (!regular || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
    report_internal_error(strprintf(
        "FWUPG_ERROR: refusing the lock %s: not a private regular file of ours, ", kLockPath));
    return false;
  }
  int locked = flock(fd.get(), LOCK_EX | LOCK_NB);
  for (int tries = 1; locked != 0 && errno == EWOULDBLOCK && tries < kLockTries; ++tries) {
    usleep(kLockRetryMicroseconds);
    locked = flock(fd.get(), LOCK_EX | LOCK_NB);
  }
  if (locked != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      report_held();
    } else {
      report_internal_error(strprintf("FWUPG_ERROR: could not lock %s (%d), ", kLockPath, error));
    }
    return false;
  }
  g_lock_fd = std::move(fd);
  return true;
}

int burn_lock_fd() { return g_lock_fd.get(); }

bool burn_lock_free() {
  if (g_lock_fd.valid()) return true;
  // Never created: no burn ran since boot. A lock that cannot be opened or
  // is not a regular file is no burning run's either; the burning modes
  // refuse it themselves.
  unique_fd fd = open_regular_file(kLockPath, O_RDONLY, true);
  if (!fd.valid()) return true;
  // Shared, and given back at once: a burning run holds it exclusively.
  if (flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) return true;
  report_held();
  return false;
}
