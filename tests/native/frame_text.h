#pragma once
// A frame built by hand, independently of the codec, so tests can check the codec
// against it: line feed, payload, checksum digits (low nibble first), carriage return.
#include <string>

inline std::string FrameText(const std::string& payload) {
  std::string f = "\n" + payload;
  unsigned sum = 0;
  for (unsigned char c : f) sum += c;
  const char* digits = "0123456789ABCDEF";
  f += digits[sum & 15];
  f += digits[(sum >> 4) & 15];
  f += '\r';
  return f;
}
