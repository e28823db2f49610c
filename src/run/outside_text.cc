// The one sanitizer of outside text.
#include "run/outside_text.h"

#include <algorithm>

std::string clean_outside_text(std::string_view text, size_t max) {
  constexpr std::string_view kCut = "...";
  const bool cut = text.size() > max;
  if (cut) text = text.substr(0, max);
  std::string clean;
  clean.reserve(text.size() + kCut.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F
      clean += '?';
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      clean += '?';
    } else {
      clean += static_cast<char>(c);
    }
  }
  if (cut) clean += kCut;
  return clean;
}

std::string tool_reason(std::string_view output, size_t max) {
  std::string_view first_error, last_line;
  for (size_t pos = 0; pos < output.size();) {
    const size_t end = std::min(output.find_first_of("\r\n", pos), output.size());
    std::string_view line = output.substr(pos, end - pos);
    pos = end + 1;
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) continue;
    line = line.substr(start, line.find_last_not_of(" \t") + 1 - start);
    if (first_error.empty() && line.substr(0, 3) == "-E-") first_error = line;
    last_line = line;
  }
  return clean_outside_text(first_error.empty() ? last_line : first_error, max);
}
