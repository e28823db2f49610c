// printf-style formatting into std::string, for the system's fixed message texts.
#pragma once

#include <string>
#include <string_view>

/// Formats like printf and returns the text, whatever its length.
std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// True when `word` occurs in `text`, letter case ignored.
bool contains_ignoring_case(std::string_view text, std::string_view word);
