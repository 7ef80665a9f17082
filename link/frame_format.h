#pragma once
#include <cstdint>

// The link's frame, as every end of it writes and reads it: line feed, payload (its
// first byte is the type character), two checksum digits (low nibble first) and a
// carriage return. The checksum is the sum of the line feed and the payload, modulo
// 256. ACK and NAK are the bare lines "\n+\r" and "\n-\r", without a checksum.
// The tool's codec, the unit simulator and vtl all build and check frames here.

constexpr uint8_t kLineFeed = 0x0A;
constexpr uint8_t kCarriageReturn = 0x0D;
// Line feed, two checksum digits and carriage return around the payload.
constexpr uint32_t kFrameOverhead = 4;

extern const uint8_t kAckFrame[3];
extern const uint8_t kNakFrame[3];

// The sum of count bytes, modulo 256.
uint8_t FrameSum(const uint8_t* bytes, unsigned count);

// Writes the two checksum digits of sum at digits[0] and digits[1], low nibble first.
void PutChecksum(uint8_t* digits, uint8_t sum);

// Writes the frame of `length` payload bytes into `frame`, which holds at least
// length + kFrameOverhead bytes, and returns the frame's length.
uint32_t BuildFrame(const uint8_t* payload, uint32_t length, uint8_t* frame);

// Whether the two digits before the carriage return are the checksum of what comes
// before them. A digit that is no hexadecimal digit counts as 0.
bool FrameChecksumValid(const uint8_t* frame, unsigned length);

// A line that can be a frame: at least 3 bytes, a line feed first and a carriage
// return last. Anything else the line assembler cuts out is noise.
inline bool IsFrameLine(const uint8_t* line, unsigned length) {
  return length >= 3 && line[0] == kLineFeed && line[length - 1] == kCarriageReturn;
}

// ACK and NAK: exactly 3 bytes with '+' or '-' as the type. They are never logged.
inline bool IsAckOrNak(const uint8_t* frame, unsigned length) {
  return length == 3 && (frame[1] == '+' || frame[1] == '-');
}
