// Owners of file descriptors and temporary files.
#include "run/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <utility>
#include <vector>

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int unique_fd::release() { return std::exchange(fd_, -1); }

void unique_fd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

temp_file::temp_file(temp_file&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::move(other.fd_)), keep_(other.keep_) {
  other.path_.clear();
}

temp_file& temp_file::operator=(temp_file&& other) noexcept {
  if (this != &other) {
    remove_now();
    path_ = std::exchange(other.path_, std::string());
    fd_ = std::move(other.fd_);
    keep_ = other.keep_;
  }
  return *this;
}

temp_file::~temp_file() { remove_now(); }

bool temp_file::create(const std::string& name_template) {
  remove_now();
  std::vector<char> name(name_template.begin(), name_template.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  fd_.reset(fd);
  path_ = name.data();
  keep_ = false;
  return true;
}

void temp_file::remove_now() {
  fd_.reset();
  if (!path_.empty() && !keep_) std::remove(path_.c_str());
  path_.clear();
}

unique_fd open_regular_file(const std::string& path, int flags, unsigned mode) {
  unique_fd fd(open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, static_cast<mode_t>(mode)));
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

bool read_file_text(const std::string& path, std::string* text, size_t limit) {
  unique_fd fd = open_regular_file(path, O_RDONLY);
  if (!fd.valid()) return false;
  text->clear();
  char buf[8192];
  while (text->size() < limit) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  if (text->size() > limit) text->resize(limit);
  return true;
}
