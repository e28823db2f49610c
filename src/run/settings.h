// The run's settings from the environment, read once at start.
#pragma once

#include <string>

/// Every FWKIT_* variable of the run, as main reads them before the mode
/// starts; the modes hand on what their steps need.
struct run_settings {
  int query_jobs = 8;       ///< FWKIT_QUERY_JOBS: adapter queries running at once
  int query_seconds = 300;  ///< FWKIT_QUERY_TIMEOUT: time limit of one query or lookup
  int burn_jobs = 1;        ///< FWKIT_BURN_JOBS: boards burned side by side (-s, -y, -u)
  std::string textfile;     ///< FWKIT_TEXTFILE: the metrics file, "" when unset or empty
};

/// The settings from the environment; a number that is unset or not a
/// positive decimal integer leaves its default.
run_settings read_run_settings();

/// `text` as a positive decimal integer (digits only, at most INT_MAX), or
/// `fallback` when it is null or anything else.
int positive_number_or(const char* text, int fallback);
