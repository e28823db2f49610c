// Atomic replacement of a text file read by other programs, refused where a planted file could redirect it.
#include "run/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/temp_file.h"
#include "run/text_format.h"

namespace {

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

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

}  // namespace

std::string replace_text_file(const std::string& path, const std::string& text) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return path + " names no file";

  unique_fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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

  // A name the textfile collector does not read (it takes *.prom files
  // only); one left by a killed run of the same process id is ours to reuse.
  const std::string temp = strprintf(".%s.%d", name.substr(0, 200).c_str(), int(getpid()));
  unlinkat(dir_fd.get(), temp.c_str(), 0);
  unique_fd out(openat(dir_fd.get(), temp.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out.valid()) return failed(dir + "/" + temp, errno);
  if (fchmod(out.get(), 0644) != 0 || !write_all(out.get(), text) || fsync(out.get()) != 0 ||
      renameat(dir_fd.get(), temp.c_str(), dir_fd.get(), name.c_str()) != 0) {
    const int error = errno;
    unlinkat(dir_fd.get(), temp.c_str(), 0);
    return failed(path, error);
  }
  return "";
}
