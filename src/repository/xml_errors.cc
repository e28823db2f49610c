// One handler for libxml2's errors: the first fault of a document as one line.
#include "repository/xml_errors.h"

#include <libxml/globals.h>

#include "run/outside_text.h"
#include "run/text_format.h"

xml_error_trap::xml_error_trap(std::string document) : document_(std::move(document)) {
  previous_ = xmlStructuredError;
  previous_context_ = xmlStructuredErrorContext;
  previous_generic_ = xmlGenericError;
  previous_generic_context_ = xmlGenericErrorContext;
  xmlSetStructuredErrorFunc(this, on_error);
  xmlSetGenericErrorFunc(this, on_generic);
}

xml_error_trap::~xml_error_trap() {
  xmlSetStructuredErrorFunc(previous_context_, previous_);
  xmlSetGenericErrorFunc(previous_generic_context_, previous_generic_);
}

void xml_error_trap::on_error(void* trap, xmlError* error) {
  if (!error || error->level < XML_ERR_ERROR) return;
  if (error->domain == XML_FROM_NAMESPACE) return;  // the reader goes on after these
  static_cast<xml_error_trap*>(trap)->fault(error->line,
                                            error->message ? error->message : "unknown error");
}

void xml_error_trap::fault(int line, const std::string& message) {
  if (!message_.empty()) return;
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  message_ = clean_outside_text(text.empty() ? "unknown error" : text);
  line_ = line;
}

void xml_error_trap::fault_line(int line) {
  if (line_ <= 0) line_ = line;
}

std::string xml_error_trap::line() const {
  if (message_.empty()) return "";
  return strprintf("%s:%d: parser error : %s\n", clean_outside_text(document_).c_str(), line_,
                   message_.c_str());
}
