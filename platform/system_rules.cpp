#include "platform/system_rules.h"

#include <cstdio>

std::string ComDevicePath(const std::string& port) {
  static const std::string kPrefix = "\\\\.\\";
  return port.compare(0, kPrefix.size(), kPrefix) == 0 ? port : kPrefix + port;
}

bool ParseDecimal(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty()) return false;
  unsigned long n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned long digit = static_cast<unsigned long>(c - '0');
    if (n > max / 10 || digit > max - n * 10) return false;  // n * 10 + digit would pass max
    n = n * 10 + digit;
  }
  *value = n;
  return true;
}

std::string TimeOfDayText(unsigned hour, unsigned minute, unsigned second, unsigned ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", hour, minute, second, ms);
  return text;
}

std::string TrimSystemText(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}
