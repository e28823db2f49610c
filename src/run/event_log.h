// The event log "mstflint.log": tagged, time-stamped events appended for every run.
#pragma once

#include <string>

/// Severity tags, each the name in brackets padded to 11 characters.
inline constexpr const char* kTagError = "[ERROR]    ";
inline constexpr const char* kTagWarning = "[WARNING]  ";
inline constexpr const char* kTagInfo = "[INFO]     ";

/// File name of the event log, in the working directory.
inline constexpr const char* kEventLogName = "mstflint.log";

/// Opens the event log for appending. When it cannot be opened, or is not a
/// regular file (a FIFO would hang the run), reports the error on standard
/// error and gives false: the mode then ends the run with status 1.
bool open_event_log();

/// True when `path` names the open event log (the same file, by any name).
bool is_event_log(const std::string& path);

/// Appends one event ("%s [%s] %s\n": tag, local time, text) in one write.
/// Does nothing before the log is opened. The first write that fails is
/// reported once on standard error; the run goes on.
void log_mellanox_event(const char* tag, const std::string& text);

/// Formats one event line from its parts; time_text is ctime_r's text.
std::string format_event_line(const char* tag, const std::string& time_text,
                              const std::string& text);
