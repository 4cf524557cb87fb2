// Device, dtype and endian strings as both modules read them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qalvane {

enum class StateDtype : int32_t { Complex64 = 0, Complex128 = 1 };

inline const char* dtype_name(StateDtype dtype) {
  return dtype == StateDtype::Complex128 ? "complex128" : "complex64";
}

// "cuda" / "gpu" -> 0, "cuda:<id>" -> std::stoi(<id>): its invalid_argument and
// out_of_range ("stoi") reach the caller as they are. The ordinal is checked
// only when the device is first selected.
inline int32_t parse_device(const std::string& text) {
  if (text == "cuda" || text == "gpu") return 0;
  if (text.rfind("cuda:", 0) != 0)
    throw std::invalid_argument("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + text);
  return std::stoi(text.substr(5));
}

inline StateDtype parse_dtype(const std::string& text) {
  if (text == "complex64") return StateDtype::Complex64;
  if (text == "complex128") return StateDtype::Complex128;
  throw std::invalid_argument("dtype must be 'complex64' or 'complex128', got: " + text);
}

inline void check_endian(const std::string& endian) {
  if (endian != "little" && endian != "big")
    throw std::invalid_argument("endian must be 'little' or 'big'");
}

}  // namespace qalvane
