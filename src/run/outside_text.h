// Text from outside the program (catalog, report, tool output) made fit for the log and the terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// Longest outside value kept whole: a file name's limit.
inline constexpr size_t kOutsideTextMax = 255;

/// `text` as it may enter the program: control characters (C0, DEL, and
/// C1 written in UTF-8), which could forge event lines or drive a terminal,
/// become '?'; a text longer than `max` keeps its first `max` characters
/// followed by "...".
std::string clean_outside_text(std::string_view text, size_t max = kOutsideTextMax);

/// Why a tool says it failed, in its own words: its first line that begins
/// with "-E-" (after blanks), else its last line that is not blank, cleaned
/// as outside text and at most `max` characters; "" when it wrote nothing.
/// Carriage returns end lines as newlines do.
std::string tool_reason(std::string_view output, size_t max);
