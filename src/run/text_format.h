// printf-style formatting into std::string, for the system's fixed message texts.
#pragma once

#include <string>

/// Formats like printf and returns the text, whatever its length.
std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
