// Internal errors on standard error: the one place that writes there.
#pragma once

#include <string>

// The reporting file and line reach these functions as default arguments,
// which the compiler fills in at each call (gcc and clang alike).

/// "%s,%d" of a source file's name (without its folders) and line, as
/// internal error lines end.
std::string source_mark(const char* file = __builtin_FILE(), int line = __builtin_LINE());

/// Writes text to standard error as it stands (never suppressed).
void write_stderr(const std::string& text);

/// Writes `before`, then the reporting source file's name and line as
/// "%s,%d", then `after`: the convention of every internal error line
/// ("FWUPG_ERROR: ..." or "ERROR: ...").
void report_internal_error(const std::string& before, const std::string& after = "\n",
                           const char* file = __builtin_FILE(), int line = __builtin_LINE());
