// The one sanitizer of outside text.
#include "run/outside_text.h"

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
