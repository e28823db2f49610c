// Live progress of the running burns on an interactive terminal.
#include "burn/burn_progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

burn_progress::burn_progress(bool enabled, bool side_by_side)
    : enabled_(enabled), side_by_side_(side_by_side) {}

burn_progress::~burn_progress() { erase(); }

void burn_progress::add(size_t key, const std::string& device,
                        const std::string& tool_output_path) {
  if (!enabled_) return;
  burn b;
  b.key = key;
  b.device = device;
  b.output.reset(open(tool_output_path.c_str(), O_RDONLY | O_CLOEXEC));
  b.start = std::chrono::steady_clock::now();
  burns_.push_back(std::move(b));
}

void burn_progress::remove(size_t key) {
  std::erase_if(burns_, [key](const burn& b) { return b.key == key; });
}

void burn_progress::read_output(burn* b) {
  if (!b->output.valid()) return;
  char buf[4096];
  size_t total = 0;
  while (total < kReadPerTick) {
    ssize_t n = read(b->output.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    b->carry.append(buf, static_cast<size_t>(n));
    int percent = last_percentage(b->carry);
    if (percent >= 0) b->percent = percent;
    if (b->carry.size() > kCarry) b->carry.erase(0, b->carry.size() - kCarry);
  }
}

void burn_progress::tick(int started, int planned) {
  if (!enabled_ || burns_.empty()) return;
  for (burn& b : burns_) read_output(&b);
  std::string line;
  if (!side_by_side_) {
    const burn& b = burns_.front();
    long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::steady_clock::now() - b.start)
                                         .count());
    line = strprintf("Burning firmware on %s: %lds", b.device.c_str(), seconds);
    if (b.percent >= 0) line += strprintf(", %d%%", b.percent);
  } else {
    line = strprintf("burning %d of %d:", started, std::max(started, planned));
    for (const burn& b : burns_) {
      line += (&b == &burns_.front() ? " " : ", ") + b.device;
      if (b.percent >= 0) line += strprintf(" %d%%", b.percent);
    }
  }
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
