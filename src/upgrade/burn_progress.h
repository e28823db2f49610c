// Live progress of a burn on an interactive terminal: one line, erased when the burn ends.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "run/temp_file.h"

/// The last percentage (0 to 100) written in `text` as digits and '%', or -1.
int last_percentage(std::string_view text);

/// Shows, on one terminal line, how long a burn has run and the last
/// percentage the firmware tool wrote to its output file so far.
class burn_progress {
 public:
  /// `enabled` false makes every call a no-op.
  burn_progress(bool enabled, const std::string& device, const std::string& tool_output_path);
  ~burn_progress();
  burn_progress(const burn_progress&) = delete;
  burn_progress& operator=(const burn_progress&) = delete;

  /// Reads what the tool wrote since the last call and redraws the line when
  /// its text changed.
  void tick();
  /// Erases the line, leaving the cursor where it was before the burn.
  void erase();

 private:
  bool enabled_;
  std::string device_;
  unique_fd output_;
  std::string carry_;  // the end of what was read, for a percentage split across reads
  int percent_ = -1;
  std::chrono::steady_clock::time_point start_;
  std::string shown_;
  size_t width_ = 0;
};
