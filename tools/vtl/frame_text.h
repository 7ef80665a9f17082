#pragma once
// What a line on the link is, in words, for `vtl monitor` and `vtl tap`: its bytes
// quoted, whether its checksum holds, and its meaning (ACK, NAK, a request, the read
// response with its record, controls and indications with their bits, the poll).
#include <cstdint>
#include <string>

#include "link/quoted_bytes.h"
#include "tools/vtl/json_writer.h"

struct FrameMeaning {
  const char* checksum;  // "ok", "bad", or "none" (ACK, NAK and lines too short to carry one)
  std::string kind;      // "ACK", "NAK", "read request", "read response", "controls", ...
  std::string detail;    // the decoded contents, "" when there are none
  void AddTo(JsonObject* object) const;  // "checksum", "kind" and the decoded fields
  JsonObject fields;                     // the decoded contents as JSON fields
};

// `line` runs from its line feed to its carriage return, as the line assembler gives it.
FrameMeaning DescribeFrame(const uint8_t* line, uint8_t length);
