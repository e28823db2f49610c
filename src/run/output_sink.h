// Where a piece of work writes its console text and events: straight out, or held until its turn.
#pragma once

#include <string>
#include <vector>

/// Console text and events of one piece of work, handed down by its caller.
class output_sink {
 public:
  virtual ~output_sink() = default;
  /// Console text, whatever the mode (as write_console).
  virtual void console(const std::string& text) = 0;
  /// An event of the log (as log_mellanox_event).
  virtual void event(const char* tag, const std::string& text) = 0;
  /// An operator message: console text unless -s, -d or -u was given (as print_message).
  void message(const std::string& text);
};

/// Writes through: the console and the event log, at once.
class live_output final : public output_sink {
 public:
  void console(const std::string& text) override;
  void event(const char* tag, const std::string& text) override;
};

/// The one live sink of the process.
output_sink& live_sink();

/// Keeps what one piece of work wrote while its turn to be seen had not
/// come, in the order written.
class held_output final : public output_sink {
 public:
  void console(const std::string& text) override { entries_.push_back({nullptr, text}); }
  void event(const char* tag, const std::string& text) override { entries_.push_back({tag, text}); }
  /// Writes everything held to `to` (events get the time of this call),
  /// and forgets it.
  void write_out(output_sink& to);

 private:
  struct entry {
    const char* tag;  // nullptr: console text
    std::string text;
  };
  std::vector<entry> entries_;
};
