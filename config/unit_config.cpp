#include "config/unit_config.h"

#include <cstdio>
#include <cstring>

#include "link/hex.h"

bool operator==(const UnitConfig& a, const UnitConfig& b) {
  uint8_t x[kConfigBytes];
  uint8_t y[kConfigBytes];
  ConfigToBytes(a, x);
  ConfigToBytes(b, y);
  return std::memcmp(x, y, kConfigBytes) == 0;
}

void ConfigToBytes(const UnitConfig& config, uint8_t* bytes) {
  bytes[0] = config.ioId;
  bytes[1] = config.zvlId;
  bytes[2] = config.adcsId;
  bytes[3] = config.preamble;
  bytes[4] = config.postamble;
  bytes[5] = config.options;
  bytes[6] = config.baudCode;
}

UnitConfig ConfigFromBytes(const uint8_t* bytes) {
  return UnitConfig{bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6]};
}

UnitConfig DefaultConfig() {
  // IO ID 60 used; ZVL ID 61 not used; ADCs ID 63 not used; 120 ms and 40 ms;
  // no options (64-bit ZVL protocol); 1200 baud.
  return UnitConfig{0x3C, 0xBD, 0xBF, 0x12, 0x06, 0x00, 0x0D};
}

namespace {
constexpr double kMsPerStep = 6.666666;
// The double nearest to 1 / 6.666666; the unit's own arithmetic uses this factor.
constexpr double kStepsPerMs = 0.15000001500000149;
}  // namespace

unsigned UnitsToMs(uint8_t steps) {
  return static_cast<unsigned>(steps * kMsPerStep + 0.5);
}

uint8_t MsToUnits(uint32_t ms) {
  const double steps = ms * kStepsPerMs + 0.5;
  // Compared before the conversion, so a large number never overflows the cast.
  if (steps >= 255.0) return 255;
  return static_cast<uint8_t>(steps);
}

const OptionName kOptionNames[kOptionNameCount] = {
    {kUseAvailEc5, "Use Avail. (EC5)"},    {kDontBufferControls, "Don't buffer controls"},
    {kNoCtrlByte, "No CTRL byte"},         {kNrz, "NRZ"},
    {kV22TxHighRxLow, "V.22 Tx high/Rx low"}, {kRxAudioEqualisation, "Rx audio equalisation"},
};

namespace {
struct BaudRow {
  uint8_t code;
  uint32_t rate;
  const char* text;
};
constexpr BaudRow kBaudTable[] = {
    {0, 115200, "115200"}, {1, 57600, "57600"}, {8, 38400, "38400"}, {9, 19200, "19200"},
    {10, 9600, "9600"},    {11, 4800, "4800"},  {12, 2400, "2400"},  {13, 1200, "1200"},
    {14, 600, "600"},      {15, 300, "300"},
};
}  // namespace

const char* BaudCodeToRate(uint8_t code) {
  for (const BaudRow& row : kBaudTable) {
    if (row.code == code) return row.text;
  }
  return "9600";
}

uint8_t RateToBaudCode(uint32_t rate) {
  for (const BaudRow& row : kBaudTable) {
    if (row.rate == rate) return row.code;
  }
  return 13;
}

ConfigPacket BuildConfigPacket(const UnitConfig& config) {
  ConfigPacket packet{};
  packet[0] = '~';
  packet[1] = 'W';
  uint8_t bytes[kConfigBytes];
  ConfigToBytes(config, bytes);
  for (size_t i = 0; i < kConfigBytes; ++i) {
    HexDigit(&packet[2 + 2 * i], bytes[i]);
    HexDigit(&packet[3 + 2 * i], bytes[i] >> 4);
  }
  return packet;
}

bool DecodeConfigPacket(const uint8_t* payload, size_t length, UnitConfig* config) {
  if (payload == nullptr || length != kConfigPacketLength || payload[0] != '~' ||
      payload[1] != 'W') {
    return false;
  }
  for (size_t i = 2; i < length; ++i) {
    if (!IsHexDigit(payload[i])) return false;
  }
  uint8_t bytes[kConfigBytes];
  for (size_t i = 0; i < kConfigBytes; ++i) {
    bytes[i] = HexByte(payload[2 + 2 * i], payload[3 + 2 * i]);
  }
  *config = ConfigFromBytes(bytes);
  return true;
}

ReadResponseStatus DecodeReadResponse(const uint8_t* frame, uint8_t length,
                                      ReadResponse* response) {
  // Payload characters 0 and 1 are frame bytes 1 and 2.
  if (frame == nullptr || length < 3 || frame[1] != '~' || frame[2] != 'r') {
    return ReadResponseStatus::kNotReadResponse;
  }
  if (length != kReadResponseFrameLength) {
    std::snprintf(response->statusText, sizeof response->statusText, "%s",
                  kInvalidConfigurationText);
    return ReadResponseStatus::kInvalid;
  }
  const uint8_t* payload = frame + 1;
  std::snprintf(response->firmware, sizeof response->firmware, "%c.%c", payload[3], payload[2]);
  std::snprintf(response->statusText, sizeof response->statusText, kReadCompleteFormat,
                response->firmware);

  // Bits 0-2 of the dip-switch character are switches 1-3, a set bit meaning "off";
  // bits 0 and 1 together also name the daughter board's line.
  static const char* const kLines[4] = {", VF, v.22", ", VF, v.23", ", direct, async",
                                        ", direct, sync"};
  const uint8_t dips = payload[5];
  const auto state = [dips](int bit) { return (dips >> bit) & 1 ? "off" : "on"; };
  std::snprintf(response->daughterBoardText, sizeof response->daughterBoardText,
                "%s1 %s, 2 %s, 3 %s, 4 -%s", kDipSwitchLabel, state(0), state(1), state(2),
                kLines[dips & 3]);

  uint8_t bytes[kConfigBytes];
  for (size_t i = 0; i < kConfigBytes; ++i) {
    bytes[i] = HexByte(payload[6 + 2 * i], payload[7 + 2 * i]);
  }
  response->config = ConfigFromBytes(bytes);
  return ReadResponseStatus::kValid;
}

ReadResponsePayload BuildReadResponsePayload(char firmwareMajor, char firmwareMinor, char spare,
                                             uint8_t dipSwitches, const UnitConfig& config) {
  ReadResponsePayload payload{};
  payload[0] = '~';
  payload[1] = 'r';
  payload[2] = static_cast<uint8_t>(firmwareMinor);
  payload[3] = static_cast<uint8_t>(firmwareMajor);
  payload[4] = static_cast<uint8_t>(spare);
  payload[5] = static_cast<uint8_t>('0' + (dipSwitches & 7));
  const ConfigPacket packet = BuildConfigPacket(config);
  for (size_t i = 2; i < kConfigPacketLength; ++i) payload[4 + i] = packet[i];
  return payload;
}
