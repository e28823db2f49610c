// Held console text and events: kept in order, written out through the console and the log.
#include "run/held_output.h"

#include "run/console.h"
#include "run/event_log.h"

namespace {

held_output* g_holder = nullptr;

}  // namespace

void held_output::write_out() {
  held_output* const before = hold_output(nullptr);
  for (const entry& e : entries_) {
    if (e.tag) {
      log_mellanox_event(e.tag, e.text);
    } else {
      write_console(e.text);
    }
  }
  entries_.clear();
  hold_output(before);
}

held_output* hold_output(held_output* into) {
  held_output* const before = g_holder;
  g_holder = into;
  return before;
}

held_output* output_holder() { return g_holder; }
