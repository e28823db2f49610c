// Atomic replacement of a text file read by other programs, refused where a planted file could redirect it.
#include "run/textfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/path_trust.h"
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

}  // namespace

std::string replace_text_file(const std::string& path, const std::string& text) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return path + " names no file";

  struct stat info;
  if (stat(dir.c_str(), &info) != 0) return failed("directory " + dir, errno);
  if (!S_ISDIR(info.st_mode)) return dir + " is not a directory";
  if (std::string problem = path_trust_problem(dir); !problem.empty()) return problem;
  if (lstat(path.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode)) return path + " is a symbolic link";
    if (!S_ISREG(info.st_mode)) return path + " is not a regular file";
  } else if (errno != ENOENT) {
    return failed(path, errno);
  }

  // A new name (created exclusively, so never through a link) that the
  // textfile collector does not read: it takes *.prom files only.
  temp_file temp;
  if (!temp.create(dir + "/." + name.substr(0, 200) + ".XXXXXX")) return failed(dir, errno);
  if (fchmod(temp.fd(), 0644) != 0 || !write_all(temp.fd(), text) || fsync(temp.fd()) != 0 ||
      std::rename(temp.path().c_str(), path.c_str()) != 0) {
    return failed(path, errno);
  }
  temp.keep();
  return "";
}
