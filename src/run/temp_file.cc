// Temporary files: made unique by mkstemp, removed when their owner goes.
#include "run/temp_file.h"

#include <fcntl.h>
#include <stdlib.h>

#include <cstdio>
#include <utility>
#include <vector>

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
