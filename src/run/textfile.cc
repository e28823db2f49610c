// Atomic replacement of a text file read by other programs, refused where a planted file could redirect it.
#include "run/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

std::string replace_text_file(const std::string& path, const std::string& text) {
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

  // The new file's name (".NAME.PID") is one the textfile collector does not
  // read: it takes *.prom files only.
  const replace_failure failure = replace_file_atomically(dir_fd.get(), name, text, {});
  if (failure.at == replace_failure::step::create)
    return failed(dir + "/" + failure.file, failure.error);
  if (failure) return failed(path, failure.error);
  return "";
}
