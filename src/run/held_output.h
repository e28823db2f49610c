// Console text and events held back while work runs side by side, then written out in order.
#pragma once

#include <string>
#include <vector>

/// What one piece of work wrote while its turn to be seen had not come:
/// console text and events, in the order written.
class held_output {
 public:
  void console(const std::string& text) { entries_.push_back({nullptr, text}); }
  void event(const char* tag, const std::string& text) { entries_.push_back({tag, text}); }
  /// Writes everything held to the console and the event log (events get
  /// the time of this call), and forgets it.
  void write_out();

 private:
  struct entry {
    const char* tag;  // nullptr: console text
    std::string text;
  };
  std::vector<entry> entries_;
};

/// While set, the console and the event log append to `into` instead of
/// writing; nullptr writes again. Returns the one set before.
held_output* hold_output(held_output* into);
/// The holder set now, or nullptr.
held_output* output_holder();
