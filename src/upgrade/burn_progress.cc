// Live progress of a burn on an interactive terminal.
#include "upgrade/burn_progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "run/console.h"
#include "run/text_format.h"

namespace {

// Bytes of the tool's output kept between reads: enough for "100%".
constexpr size_t kCarry = 8;
// Bytes read per tick at most, so a chatty tool cannot stall the wait loop.
constexpr size_t kReadPerTick = 1 << 16;

}  // namespace

int last_percentage(std::string_view text) {
  int found = -1;
  for (size_t pos = text.find('%'); pos != std::string_view::npos; pos = text.find('%', pos + 1)) {
    size_t first = pos;
    while (first > 0 && pos - first < 3 && std::isdigit(static_cast<unsigned char>(text[first - 1])))
      --first;
    if (first == pos) continue;
    // "1234%" is no percentage, and neither are the last three digits of it.
    if (first > 0 && std::isdigit(static_cast<unsigned char>(text[first - 1]))) continue;
    int value = 0;
    for (size_t i = first; i < pos; ++i) value = value * 10 + (text[i] - '0');
    if (value <= 100) found = value;
  }
  return found;
}

burn_progress::burn_progress(bool enabled, const std::string& device,
                             const std::string& tool_output_path)
    : enabled_(enabled), device_(device), start_(std::chrono::steady_clock::now()) {
  if (enabled_) output_.reset(open(tool_output_path.c_str(), O_RDONLY | O_CLOEXEC));
}

burn_progress::~burn_progress() { erase(); }

void burn_progress::tick() {
  if (!enabled_) return;
  if (output_.valid()) {
    char buf[4096];
    size_t total = 0;
    while (total < kReadPerTick) {
      ssize_t n = read(output_.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      total += static_cast<size_t>(n);
      carry_.append(buf, static_cast<size_t>(n));
      int percent = last_percentage(carry_);
      if (percent >= 0) percent_ = percent;
      if (carry_.size() > kCarry) carry_.erase(0, carry_.size() - kCarry);
    }
  }
  long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::steady_clock::now() - start_)
                                       .count());
  std::string line = strprintf("Burning firmware on %s: %lds", device_.c_str(), seconds);
  if (percent_ >= 0) line += strprintf(", %d%%", percent_);
  if (line == shown_) return;
  std::string text = "\r" + line;
  if (line.size() < width_) text += std::string(width_ - line.size(), ' ');
  write_console(text);
  flush_console();
  shown_ = line;
  width_ = std::max(width_, line.size());
}

void burn_progress::erase() {
  if (!enabled_ || width_ == 0) return;
  write_console("\r" + std::string(width_, ' ') + "\r");
  flush_console();
  width_ = 0;
  shown_.clear();
}
