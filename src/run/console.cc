// Console output: the one place that writes to standard output.
#include "run/console.h"

#include <unistd.h>

#include <cstdio>

#include "run/run_state.h"

void print_message(const std::string& msg) {
  if (g_iFlag & (kOptSilent | kOptDiscover | kOptApply)) return;
  write_console(msg);
}

void write_console(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void flush_console() { std::fflush(stdout); }

bool console_is_terminal() { return isatty(STDOUT_FILENO) == 1; }
