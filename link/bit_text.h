#pragma once
#include <cstdint>
#include <string>

// Bytes of controls or indications as the link's users read them: each byte's eight
// bits, bit 0 first, each byte followed by one space ("10000000 00000000 ").
inline std::string BitText(const uint8_t* bytes, unsigned count) {
  std::string text;
  text.reserve(count * 9);
  for (unsigned i = 0; i < count; ++i) {
    for (unsigned bit = 0; bit < 8; ++bit) text += (bytes[i] >> bit) & 1 ? '1' : '0';
    text += ' ';
  }
  return text;
}
