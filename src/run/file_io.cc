// Files as root may touch them: only regular ones opened, whole texts written, atomic replacement.
#include "run/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "run/text_format.h"

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int unique_fd::release() { return std::exchange(fd_, -1); }

void unique_fd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

unique_fd open_regular_file(const std::string& path, int flags, bool nofollow, unsigned mode) {
  flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0);
  unique_fd fd(open(path.c_str(), flags, static_cast<mode_t>(mode)));
  if (!fd.valid()) return fd;
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return unique_fd();
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return unique_fd();
  }
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

unique_fd open_directory(const std::string& path, bool nofollow) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0);
  return unique_fd(open(path.c_str(), flags));
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string read_fd_text(int fd, size_t limit) {
  std::string text;
  char buf[8192];
  while (text.size() < limit) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  if (text.size() > limit) text.resize(limit);
  return text;
}

bool read_file_text(const std::string& path, std::string* text, size_t limit) {
  unique_fd fd = open_regular_file(path, O_RDONLY, false);
  if (!fd.valid()) return false;
  *text = read_fd_text(fd.get(), limit);
  return true;
}

path_parts split_path(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

replace_failure replace_file_atomically(int dir_fd, const std::string& name,
                                        std::string_view text, const replacement_file& file) {
  // Kept within the file name limit of the directory.
  const std::string temp = strprintf(".%s.%d", name.substr(0, 200).c_str(), int(getpid()));
  unlinkat(dir_fd, temp.c_str(), 0);
  unique_fd out(openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       static_cast<mode_t>(file.mode)));
  if (!out.valid()) return {replace_failure::step::create, errno, temp};
  replace_failure failure{replace_failure::step::write, 0, name};
  if (write_all(out.get(), text)) {
    failure.at = replace_failure::step::finish;
    const bool ours = file.owner == static_cast<uid_t>(-1) && file.group == static_cast<gid_t>(-1);
    const bool owned = ours || fchown(out.get(), file.owner, file.group) == 0;
    if (owned && fchmod(out.get(), static_cast<mode_t>(file.mode)) == 0 && fsync(out.get()) == 0 &&
        renameat(dir_fd, temp.c_str(), dir_fd, name.c_str()) == 0)
      return {};
  }
  failure.error = errno;
  unlinkat(dir_fd, temp.c_str(), 0);
  return failure;
}
