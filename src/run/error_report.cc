// Internal errors on standard error.
#include "run/error_report.h"

#include <cstdio>
#include <cstring>

#include "run/text_format.h"

void write_stderr(const std::string& text) {
  std::fflush(stdout);  // keep the order of the two streams on a terminal
  std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string source_mark(const char* file, int line) {
  const char* slash = std::strrchr(file, '/');
  if (slash) file = slash + 1;
  return strprintf("%s,%d", file, line);
}

void report_internal_error(const std::string& before, const std::string& after,
                           const char* file, int line) {
  write_stderr(before + source_mark(file, line) + after);
}
