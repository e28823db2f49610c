// Output sinks: the live one writes through the console and the event log; a held one keeps.
#include "run/output_sink.h"

#include "run/console.h"
#include "run/event_log.h"
#include "run/run_state.h"

void output_sink::message(const std::string& text) {
  if (g_iFlag & (kOptSilent | kOptDiscover | kOptApply)) return;
  console(text);
}

void live_output::console(const std::string& text) { write_console(text); }

void live_output::event(const char* tag, const std::string& text) { log_mellanox_event(tag, text); }

output_sink& live_sink() {
  static live_output live;
  return live;
}

void held_output::write_out(output_sink& to) {
  for (const entry& e : entries_) {
    if (e.tag) {
      to.event(e.tag, e.text);
    } else {
      to.console(e.text);
    }
  }
  entries_.clear();
}
