// SHA-256 (FIPS 180-4) of a text or of a whole file, in lower-case hex.
#pragma once

#include <string>
#include <string_view>

/// The SHA-256 digest of `data`, 64 lower-case hex digits.
std::string sha256_hex(std::string_view data);

/// The SHA-256 digest of the regular file at `path`, read in pieces; "" when
/// it cannot be opened or read, or is no regular file.
std::string file_sha256_hex(const std::string& path);
