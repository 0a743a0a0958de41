// Unaligned access to one native-endian sample inside a byte plane.
#pragma once

#include <cstdint>
#include <cstring>

namespace kestrune {

template <class T>
inline T load_sample(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <class T>
inline void store_sample(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

}  // namespace kestrune
