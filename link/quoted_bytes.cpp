#include "link/quoted_bytes.h"

#include <cstdio>

std::string QuotedBytes(const uint8_t* bytes, size_t length) {
  std::string text = "\"";
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = bytes[i];
    if (b == '\n') {
      text += "\\n";
    } else if (b == '\r') {
      text += "\\r";
    } else if (b == '"' || b == '\\') {
      text += '\\';
      text += static_cast<char>(b);
    } else if (b >= 0x20 && b <= 0x7E) {
      text += static_cast<char>(b);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", b);
      text += escape;
    }
  }
  return text + "\"";
}
