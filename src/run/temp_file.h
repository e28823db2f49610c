// Temporary files: made unique by mkstemp, removed when their owner goes.
#pragma once

#include <string>

#include "run/file_io.h"

/// A file made unique by mkstemp. Removed from disk when its owner goes,
/// unless kept.
class temp_file {
 public:
  temp_file() = default;
  temp_file(temp_file&& other) noexcept;
  temp_file& operator=(temp_file&& other) noexcept;
  temp_file(const temp_file&) = delete;
  temp_file& operator=(const temp_file&) = delete;
  ~temp_file();

  /// Creates the file from a template ending in "XXXXXX". False on failure
  /// (errno tells why).
  bool create(const std::string& name_template);
  /// Leaves the file on disk when the owner goes.
  void keep() { keep_ = true; }
  /// Closes the descriptor and removes the file now (unless kept).
  void remove_now();

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }

 private:
  std::string path_;
  unique_fd fd_;
  bool keep_ = false;
};
