// Files as root may touch them: descriptor owner, regular files only, whole writes, atomic replacing.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

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

/// Opens `path` with `flags` (plus close-on-exec, no controlling terminal,
/// and O_NOFOLLOW when `nofollow`) without blocking, so a FIFO cannot hang
/// the run, and keeps it only when it is a regular file: anything else is
/// closed again with errno EINVAL. The descriptor is returned in blocking
/// mode; `mode` is the mode of a file it creates.
unique_fd open_regular_file(const std::string& path, int flags, bool nofollow,
                            unsigned mode = 0644);

/// Opens the directory `path` for the *at calls (not through a link when
/// `nofollow`); invalid (errno set) when it is none.
unique_fd open_directory(const std::string& path, bool nofollow);

/// Writes all of `text`, going on after interruptions and short writes.
/// False (errno set; EIO for a write that took nothing) when a write fails.
bool write_all(int fd, std::string_view text);

/// What is left to read of `fd`, at most `limit` bytes (read errors end it).
std::string read_fd_text(int fd, size_t limit = 1 << 20);

/// Reads a whole regular file into `text` (at most `limit` bytes). False when
/// it cannot be opened or is no regular file (a FIFO would block).
bool read_file_text(const std::string& path, std::string* text, size_t limit = 1 << 20);

/// The directory part of `path` ("." when it has none, "/" for the root) and
/// the name in it (empty when `path` ends in a slash).
struct path_parts {
  std::string dir;
  std::string name;
};
path_parts split_path(const std::string& path);

/// What the new file of a replacement gets.
struct replacement_file {
  unsigned mode = 0644;  ///< permission bits, whatever the umask
  uid_t owner = static_cast<uid_t>(-1);  ///< -1 keeps this process's
  gid_t group = static_cast<gid_t>(-1);
};

/// Where a replacement stopped, and why (errno's value); `file` names the
/// file of that step. `step::none` when the file was replaced.
struct replace_failure {
  enum class step { none, create, write, finish } at = step::none;
  int error = 0;
  std::string file;
  explicit operator bool() const { return at != step::none; }
};

/// Replaces the file `name` in the open directory `dir_fd` with `text`: a new
/// file ".NAME.PID" beside it (one left by a killed run of the same process
/// id is removed first) is created exclusively and never through a link,
/// given the mode and owner of `file`, written, synced and renamed over
/// `name`, so a reader finds the old file or the new one, never a part. On
/// failure the new file is removed and `name` is left as it was.
replace_failure replace_file_atomically(int dir_fd, const std::string& name,
                                        std::string_view text, const replacement_file& file);
