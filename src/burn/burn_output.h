// Reading the firmware tool's output of a failed burn: why it failed, in the tool's own words.
#pragma once

#include <string>
#include <string_view>

/// What the output of a burn that did not succeed says.
struct burn_verdict {
  /// The tool refused the image as meant for another board ("PSID mismatch",
  /// "PSID major mismatch", "PSID header mismatch", "Minor PSID is locked",
  /// "Image minor PSID (...) is reserved"; any letter case).
  bool psid_refusal = false;
  /// The tool refused because an image burned earlier waits for a reset
  /// ("pending reset" or "not loaded by the device"; any letter case).
  bool reset_pending = false;
  /// The tool's first line that begins with "-E-", else its last line that is
  /// not blank, cleaned as outside text and at most 160 characters; "" when
  /// it wrote nothing. Carriage returns end lines as newlines do.
  std::string reason;
};

/// Reads a burn's output. A pure function over the text.
burn_verdict read_burn_output(std::string_view output);
