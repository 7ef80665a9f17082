#include "tools/vtl/frame_text.h"

#include <cstdio>
#include <cstring>

#include "comms/comms_state.h"
#include "config/unit_config.h"
#include "link/bit_text.h"
#include "link/frame_format.h"
#include "tools/vtl/record_text.h"

void FrameMeaning::AddTo(JsonObject* object) const {
  object->Add("checksum", checksum);
  object->Add("kind", kind);
  if (!fields.Empty()) object->Raw("decoded", fields.Text());
}

FrameMeaning DescribeFrame(const uint8_t* line, uint8_t length) {
  FrameMeaning m;
  m.checksum = "none";
  if (!IsFrameLine(line, length)) {
    m.kind = "not a frame (no line feed)";
    return m;
  }
  if (IsAckOrNak(line, length)) {
    m.kind = line[1] == '+' ? "ACK" : "NAK";
    return m;
  }
  if (length >= 5) m.checksum = FrameChecksumValid(line, length) ? "ok" : "bad";
  const uint8_t* payload = line + 1;
  const size_t payloadLength = length >= 4 ? length - 4u : 0u;
  switch (line[1]) {
    case '~': {
      ReadResponse response;
      UnitConfig written{};
      const ReadResponseStatus status = DecodeReadResponse(line, length, &response);
      if (status == ReadResponseStatus::kValid) {
        m.kind = "read response";
        m.detail = std::string(response.statusText) + ", " + response.daughterBoardText +
                   ", record " + RecordHex(response.config, true) + ": " +
                   RecordAssignments(response.config);
        m.fields.Add("firmware", response.firmware);
        m.fields.Add("dip_switches", response.daughterBoardText);
        AddRecord(&m.fields, response.config);
      } else if (status == ReadResponseStatus::kInvalid) {
        m.kind = "read response";
        m.detail = std::string(kInvalidConfigurationText) + " (a " + std::to_string(length) +
                   "-byte frame, not 24)";
        m.fields.Add("error", kInvalidConfigurationText);
      } else if (DecodeConfigPacket(payload, payloadLength, &written)) {
        m.kind = "configuration write";
        m.detail = "record " + RecordHex(written, true) + ": " + RecordAssignments(written);
        AddRecord(&m.fields, written);
      } else if (payloadLength == kRequestLength &&
                 std::memcmp(payload, kReadRequest, kRequestLength) == 0) {
        m.kind = "read request";
      } else if (payloadLength == kRequestLength &&
                 std::memcmp(payload, kTxOnRequest, kRequestLength) == 0) {
        m.kind = "Tx on request";
      } else if (payloadLength == kRequestLength &&
                 std::memcmp(payload, kTxOffRequest, kRequestLength) == 0) {
        m.kind = "Tx off request";
      } else {
        m.kind = "configuration channel, unknown command";
      }
      return m;
    }
    case 'C':
    case 'I': {
      // All of the bits the frame carries, also those of an indications frame the
      // tool itself would not take (beyond 32).
      const BitsFrame decoded = DecodeBitsFrame(line, length);
      m.kind = line[1] == 'C' ? "controls" : "indications";
      if (decoded.WidthKnown()) {
        const bool wide = decoded.ByteCount() == 8;
        const std::string bits = BitText(decoded.bytes, decoded.ByteCount());
        m.detail = std::string(wide ? "64" : "32") + " bits " + bits;
        m.fields.Add("width", wide ? 64 : 32);
        m.fields.Add("bits", bits);
      } else {
        m.detail = "width neither 32 nor 64";
      }
      return m;
    }
    case '+':
    case '-':
      // Longer than the bare ACK or NAK; the tool still takes it as one.
      m.kind = line[1] == '+' ? "ACK (with more bytes)" : "NAK (with more bytes)";
      return m;
    case 'R':
      m.kind = "poll (indications asked for)";
      return m;
    case 'A':
    case 'B':
      m.kind = std::string("type ") + static_cast<char>(line[1]);
      return m;
    default:
      m.kind = "unknown type (dropped)";
      return m;
  }
}
