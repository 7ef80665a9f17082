#include "link/frame_format.h"

#include <cstring>

#include "link/hex.h"

const uint8_t kAckFrame[3] = {kLineFeed, '+', kCarriageReturn};
const uint8_t kNakFrame[3] = {kLineFeed, '-', kCarriageReturn};

uint8_t FrameSum(const uint8_t* bytes, unsigned count) {
  unsigned sum = 0;
  for (unsigned i = 0; i < count; ++i) sum += bytes[i];
  return static_cast<uint8_t>(sum);
}

void PutChecksum(uint8_t* digits, uint8_t sum) {
  HexDigit(&digits[0], sum);
  HexDigit(&digits[1], sum >> 4);
}

uint32_t BuildFrame(const uint8_t* payload, uint32_t length, uint8_t* frame) {
  frame[0] = kLineFeed;
  std::memcpy(frame + 1, payload, length);
  PutChecksum(&frame[length + 1], FrameSum(frame, length + 1));
  frame[length + 3] = kCarriageReturn;
  return length + kFrameOverhead;
}

bool FrameChecksumValid(const uint8_t* frame, unsigned length) {
  if (length < 3) return false;
  const uint8_t expected = HexByte(frame[length - 3], frame[length - 2]);
  return FrameSum(frame, length - 3) == expected;
}
