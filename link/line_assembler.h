#pragma once
#include <cstddef>
#include <cstdint>

#include "link/frame_format.h"

// Cuts received bytes into lines as the link's receivers do: a line feed starts a new
// line (discarding whatever came before it), a carriage return ends one. A line of
// more than 64 bytes keeps its first 63; every later byte overwrites the last place.
// Bytes before any line feed still form a line when a carriage return ends them; it is
// the receiver's business to drop a line that does not begin with a line feed.
class LineAssembler {
 public:
  static constexpr uint8_t kCapacity = 64;

  // Takes one byte; true when it completed a line, which then is line()/length() until
  // the next call.
  bool Feed(uint8_t b) {
    if (complete) {
      length_ = 0;
      complete = false;
    }
    if (b == kLineFeed) length_ = 0;
    if (length_ >= kCapacity) length_ = kCapacity - 1;
    buffer[length_++] = b;
    complete = b == kCarriageReturn;
    return complete;
  }
  // Takes count bytes, handing each line to onLine(line, length) as it completes,
  // before the next byte is taken.
  template <typename OnLine>
  void Feed(const uint8_t* bytes, size_t count, OnLine&& onLine) {
    for (size_t i = 0; i < count; ++i) {
      if (Feed(bytes[i])) onLine(line(), length());
    }
  }
  const uint8_t* line() const { return buffer; }
  uint8_t length() const { return length_; }

 private:
  uint8_t buffer[kCapacity] = {};
  uint8_t length_ = 0;
  bool complete = false;
};
