// Live progress of the running burns on an interactive terminal: one line, erased when they end.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "run/file_io.h"

/// The last percentage (0 to 100) written in `text` as digits and '%', or -1.
int last_percentage(std::string_view text);

/// Shows, on one terminal line, the last percentage each running burn's
/// firmware tool wrote to its output file so far: for one burn at a time
/// with how long it has run ("Burning firmware on ADDR: 12s, 45%"), for
/// burns side by side all on one line ("burning 3 of 8: ADDR 45%, ...").
/// The line is written straight to the terminal, never held: the batch
/// erases it before any row writes.
class burn_progress {
 public:
  /// `enabled` false makes every call a no-op.
  burn_progress(bool enabled, bool side_by_side);
  ~burn_progress();
  burn_progress(const burn_progress&) = delete;
  burn_progress& operator=(const burn_progress&) = delete;

  /// A burn that started: `key` names it to remove().
  void add(size_t key, const std::string& device, const std::string& tool_output_path);
  void remove(size_t key);
  /// Reads what the tools wrote since the last call and redraws the line
  /// when its text changed; `started` burns of `planned` so far.
  void tick(int started, int planned);
  /// Erases the line, leaving the cursor where it was before it.
  void erase();

 private:
  struct burn {
    size_t key = 0;
    std::string device;
    unique_fd output;
    std::string carry;  // the end of what was read, for a percentage split across reads
    int percent = -1;
    std::chrono::steady_clock::time_point start;
  };
  static void read_output(burn* b);

  bool enabled_;
  bool side_by_side_;
  std::vector<burn> burns_;
  std::string shown_;
  size_t width_ = 0;
};
