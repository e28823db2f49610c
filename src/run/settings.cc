// The run's settings from the environment: the one place that reads it.
#include "run/settings.h"

#include <cstdlib>
#include <limits>

int positive_number_or(const char* text, int fallback) {
  if (text == nullptr || *text == '\0') return fallback;
  long long number = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return fallback;
    number = number * 10 + (*c - '0');
    if (number > std::numeric_limits<int>::max()) return fallback;
  }
  return number > 0 ? static_cast<int>(number) : fallback;
}

run_settings read_run_settings() {
  run_settings settings;
  settings.query_jobs = positive_number_or(std::getenv("FWKIT_QUERY_JOBS"), settings.query_jobs);
  settings.query_seconds = positive_number_or(std::getenv("FWKIT_QUERY_TIMEOUT"), settings.query_seconds);
  settings.burn_jobs = positive_number_or(std::getenv("FWKIT_BURN_JOBS"), settings.burn_jobs);
  if (const char* textfile = std::getenv("FWKIT_TEXTFILE")) settings.textfile = textfile;
  return settings;
}
