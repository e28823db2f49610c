// Owners of file descriptors and temporary files.
#pragma once

#include <string>

/// Owns one file descriptor and closes it.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept;
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

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

/// Opens `path` with `flags` (plus close-on-exec, no controlling terminal)
/// without blocking, so a FIFO cannot hang the run, and keeps it only when it
/// is a regular file: anything else is closed again with errno EINVAL. The
/// descriptor is returned in blocking mode.
unique_fd open_regular_file(const std::string& path, int flags, unsigned mode = 0644);

/// Reads a whole regular file into `text` (at most `limit` bytes). False when
/// it cannot be opened or is no regular file (a FIFO would block).
bool read_file_text(const std::string& path, std::string* text, size_t limit = 1 << 20);
