// Console output: operator messages (suppressed in silent and report modes) and direct writes.
#pragma once

#include <string>

/// Writes an operator message to standard output verbatim, unless -s, -d or
/// -u was given. Not flushed.
void print_message(const std::string& msg);

/// Writes to standard output whatever the mode: the banner and the few
/// notices that silent runs show too.
void write_console(const std::string& text);

/// Flushes standard output, so that a prompt is visible before input is read
/// or a child process writes to the same terminal.
void flush_console();

/// True when standard output is a terminal.
bool console_is_terminal();
