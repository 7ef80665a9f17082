#pragma once
#include <cstdint>

// Hexadecimal digits as the link carries them. Every byte in a payload is two
// digits, low nibble first; digits go out upper-case and come in in either case.

// Writes the upper-case digit of the low four bits of value into *destination.
inline void HexDigit(uint8_t* destination, unsigned value) {
  static const char digits[] = "0123456789ABCDEF";
  *destination = static_cast<uint8_t>(digits[value & 0x0F]);
}

// Whether the character is a hexadecimal digit, in either case: the set of the C
// library's isxdigit, taking a byte where isxdigit takes an int that must not be a
// negative char.
inline bool IsHexDigit(uint8_t character) {
  return (character >= '0' && character <= '9') || (character >= 'a' && character <= 'f') ||
         (character >= 'A' && character <= 'F');
}

// The value of one digit character; anything that is not a hexadecimal digit
// (bytes 0x80-0xFF included) counts as 0, never as an error.
inline uint8_t HexValue(uint8_t character) {
  if (character >= '0' && character <= '9') return static_cast<uint8_t>(character - '0');
  if (character >= 'a' && character <= 'f') return static_cast<uint8_t>(character - 'a' + 10);
  if (character >= 'A' && character <= 'F') return static_cast<uint8_t>(character - 'A' + 10);
  return 0;
}

// The byte written as the two digits low, high (low nibble first).
inline uint8_t HexByte(uint8_t low, uint8_t high) {
  return static_cast<uint8_t>(HexValue(low) + 16 * HexValue(high));
}
