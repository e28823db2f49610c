// Firmware version numbers: parsing version text, the "newer" test, ordering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// A firmware version: major.minor.release.
struct fw_version {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t release = 0;
};

/// Splits version text at '.' into three numbers. Each field is read like
/// atoi (leading blanks, a sign, digits up to the first other character) but
/// whole and saturating at UINT32_MAX; a missing field is 0 and a fourth or
/// later field is ignored: "2.4x.1" is 2.4.1, "2..5" is 2.0.5, "" is 0.0.0.
/// Returns 0 in every case.
int parseversions(std::string_view version, uint32_t* major, uint32_t* minor, uint32_t* release);

/// parseversions returning the version.
fw_version parse_fw_version(std::string_view version);

/// True when `a` is newer than `b`: major, then minor, then release, as numbers.
bool is_newer(const fw_version& a, const fw_version& b);

/// True when all three numbers are equal.
bool same_version(const fw_version& a, const fw_version& b);

/// The version as "%u.%u.%u".
std::string version_text(const fw_version& version);

/// Sorts versions ascending by the "newer" test, so the numerically highest
/// comes last; equal versions keep their order.
void sort_fw(std::vector<fw_version>* versions);

/// The confirmation question asked before flashing an adapter.
std::string fw_version_message();
