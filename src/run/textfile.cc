// Atomic replacement of a text file read by other programs, refused where a planted file could redirect it.
#include "run/textfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "run/file_io.h"
#include "run/text_format.h"

namespace {

std::string failed(const std::string& what, int error) {
  return strprintf("%s: %s", what.c_str(), std::strerror(error));
}

// Why others than root or this user could change the open directory, or "".
std::string directory_problem(int dir_fd, const std::string& dir) {
  struct stat info;
  if (fstat(dir_fd, &info) != 0) return failed(dir, errno);
  if (info.st_uid != 0 && info.st_uid != geteuid())
    return strprintf("%s is owned by uid %u", dir.c_str(), unsigned(info.st_uid));
  if (info.st_mode & S_IWOTH) return dir + " is writable by others";
  if (info.st_mode & S_IWGRP) return dir + " is writable by its group";
  return "";
}

// Takes the lock file ".NAME.lock" in the open directory, waiting up to 10
// seconds for another run to let it go; "" when held, else why not.
std::string take_lock(int dir_fd, const std::string& dir, const std::string& name, unique_fd* lock) {
  const std::string file = "." + name.substr(0, 200) + ".lock";
  const std::string shown = dir + "/" + file;
  lock->reset(openat(dir_fd, file.c_str(),
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
  if (!lock->valid()) return failed(shown, errno);
  struct stat info;
  if (fstat(lock->get(), &info) != 0) return failed(shown, errno);
  if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0)
    return shown + " is not a private file of this user";
  for (int tries = 0; flock(lock->get(), LOCK_EX | LOCK_NB) != 0; ++tries) {
    if (errno != EWOULDBLOCK && errno != EINTR) return failed(shown, errno);
    if (tries == 500) return shown + " is held by another run";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

// The text of the regular file `name` in the open directory (its first MiB),
// "" when there is none.
std::string present_text(int dir_fd, const std::string& name) {
  const unique_fd fd(
      openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  return read_fd_text(fd.get());
}

// Replaces `path` with the text `make` gives; `locked` takes the lock and
// hands `make` the present text first.
std::string write_text_file(const std::string& path, bool locked,
                            const std::function<std::string(const std::string&)>& make) {
  const auto [dir, name] = split_path(path);
  if (name.empty() || name == "." || name == "..") return path + " names no file";

  const unique_fd dir_fd = open_directory(dir, true);
  struct stat info;
  if (!dir_fd.valid()) {
    const int error = errno;
    const bool link = lstat(dir.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
    return link ? dir + " is a symbolic link" : failed("directory " + dir, error);
  }
  if (std::string problem = directory_problem(dir_fd.get(), dir); !problem.empty()) return problem;
  if (fstatat(dir_fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) return path + " is a symbolic link";
    if (!S_ISREG(info.st_mode)) return path + " is not a regular file";
  } else if (errno != ENOENT) {
    return failed(path, errno);
  }
  unique_fd lock;
  std::string old;
  if (locked) {
    if (std::string problem = take_lock(dir_fd.get(), dir, name, &lock); !problem.empty())
      return problem;
    old = present_text(dir_fd.get(), name);
  }
  const std::string text = make(old);

  // The new file's name (".NAME.PID") is one the textfile collector does not
  // read: it takes *.prom files only.
  const replace_failure failure = replace_file_atomically(dir_fd.get(), name, text, {});
  if (failure.at == replace_failure::step::create)
    return failed(dir + "/" + failure.file, failure.error);
  if (failure) return failed(path, failure.error);
  return "";
}

}  // namespace

std::string replace_text_file(const std::string& path, const std::string& text) {
  return write_text_file(path, false, [&text](const std::string&) { return text; });
}

std::string update_text_file(const std::string& path,
                             const std::function<std::string(const std::string& old)>& make) {
  return write_text_file(path, true, make);
}
