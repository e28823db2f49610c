// What the fuzz targets share: a broken invariant aborts, and libFuzzer keeps the input.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : std::abort())

inline std::string_view fuzz_text(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}
