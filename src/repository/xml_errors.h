// libxml2's complaints about a document, turned into one line of ours.
#pragma once

#include <libxml/xmlerror.h>

#include <string>

/// While an instance lives, whatever libxml2 reports (parser, encoding and
/// I/O faults alike) is caught here instead of being printed by libxml2 in
/// several lines with carets. Only the first error is kept: later ones follow
/// from it.
class xml_error_trap {
 public:
  /// `document` is the file name the line is to name.
  explicit xml_error_trap(std::string document);
  ~xml_error_trap();
  xml_error_trap(const xml_error_trap&) = delete;
  xml_error_trap& operator=(const xml_error_trap&) = delete;

  /// Notes a fault of our own (e.g. a refused construct) unless one is kept.
  void fault(int line, const std::string& message);
  /// Supplies the line of the fault when libxml2 did not tell it.
  void fault_line(int line);
  /// "DOCUMENT:LINE: parser error : MESSAGE\n" of the first fault, or "".
  std::string line() const;
  /// The line of the first fault; 0 when none is known.
  int line_number() const { return message_.empty() ? 0 : line_; }

 private:
  static void on_error(void* trap, xmlError* error);
  static void on_generic(void*, const char*, ...) {}

  std::string document_;
  std::string message_;
  int line_ = 0;
  xmlStructuredErrorFunc previous_ = nullptr;
  void* previous_context_ = nullptr;
  xmlGenericErrorFunc previous_generic_ = nullptr;
  void* previous_generic_context_ = nullptr;
};
