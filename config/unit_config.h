#pragma once
// The unit's configuration record and the forms it takes on the link: the
// configuration packet that writes it, the request payloads, and the read response
// with which the unit reports it. Pure data and conversion; no I/O here.
#include <array>
#include <cstddef>
#include <cstdint>

// Seven bytes in a fixed order, the same in memory, in a .vtl file, in the
// configuration packet and in the read response.
struct UnitConfig {
  uint8_t ioId;       // bits 0-5 the ID; bit 6 unused; bit 7 set: not used
  uint8_t zvlId;      // bits 0-5 the ID; bit 6 set: split ZVL; bit 7 set: not used
  uint8_t adcsId;     // bits 0-5 the ID; bit 6 unused; bit 7 set: not used
  uint8_t preamble;   // in steps of 6.666666 ms
  uint8_t postamble;  // in steps of 6.666666 ms
  uint8_t options;    // ConfigOption flags
  uint8_t baudCode;   // see BaudCodeToRate
};
static_assert(sizeof(UnitConfig) == 7, "the record is exactly seven bytes");

bool operator==(const UnitConfig& a, const UnitConfig& b);
inline bool operator!=(const UnitConfig& a, const UnitConfig& b) { return !(a == b); }

constexpr size_t kConfigBytes = 7;

// Bits of the three ID bytes.
constexpr uint8_t kIdMask = 0x3F;
constexpr uint8_t kZvlSplit = 0x40;
constexpr uint8_t kIdUnused = 0x80;

// Flags of `options`; bit 7 is always written 0.
enum ConfigOption : uint8_t {
  kRxAudioEqualisation = 0x01,
  kV22TxHighRxLow = 0x02,
  kNrz = 0x04,
  kNoCtrlByte = 0x08,
  kZvl32Bits = 0x10,  // clear: the ZVL protocol has 64 bits
  kUseAvailEc5 = 0x20,
  kDontBufferControls = 0x40,
};

// The record as its seven bytes, byte 0 first, and back. No field is checked.
void ConfigToBytes(const UnitConfig& config, uint8_t* bytes);
UnitConfig ConfigFromBytes(const uint8_t* bytes);

UnitConfig DefaultConfig();

// Preamble and postamble: steps to the milliseconds shown (0..1700), and
// milliseconds typed to the steps stored (limited to 255).
unsigned UnitsToMs(uint8_t steps);
uint8_t MsToUnits(uint32_t ms);

// The options as the "K4 Config" page names them, in the page's order; the ZVL
// protocol width (kZvl32Bits) is the page's radio buttons and is not among them.
struct OptionName {
  ConfigOption flag;
  const char* label;
};
constexpr int kOptionNameCount = 6;
extern const OptionName kOptionNames[kOptionNameCount];

// The rate text of a baud code ("9600" for a code without a row), and the code of a
// rate number (13, that is 1200, for a number without a row).
const char* BaudCodeToRate(uint8_t code);
uint8_t RateToBaudCode(uint32_t rate);

// The configuration write payload: "~W" and the seven bytes as 14 digits, each byte
// low nibble first.
constexpr size_t kConfigPacketLength = 16;
using ConfigPacket = std::array<uint8_t, kConfigPacketLength>;
ConfigPacket BuildConfigPacket(const UnitConfig& config);
// The record a configuration write payload carries: true only for "~W" and exactly 14
// hexadecimal digits (either case).
bool DecodeConfigPacket(const uint8_t* payload, size_t length, UnitConfig* config);

// The request payloads, each two characters.
constexpr size_t kRequestLength = 2;
inline constexpr uint8_t kReadRequest[kRequestLength] = {'~', 'R'};
inline constexpr uint8_t kTxOnRequest[kRequestLength] = {'~', 'T'};
inline constexpr uint8_t kTxOffRequest[kRequestLength] = {'~', 't'};

// The read response: a 24-byte '~' frame whose payload is "~r", the firmware version's
// digit after and before the point, one character the tool ignores, the dip-switch
// character and the 14 digits of the record.
constexpr uint8_t kReadResponseFrameLength = 24;
constexpr size_t kReadResponsePayloadLength = 20;

enum class ReadResponseStatus { kNotReadResponse, kInvalid, kValid };

struct ReadResponse {
  char firmware[4];            // "1.3": the version's characters before and after the point
  char statusText[32];         // "Read complete (F/W v1.3)" or "Received invalid configuration"
  char daughterBoardText[52];  // empty unless valid
  UnitConfig config;           // set only when valid
};

// The daughter-board line of a valid response: this label, then the dip switches
// ("1 off, 2 on, 3 off, 4 -, VF, v.23").
inline constexpr char kDipSwitchLabel[] = "Dip Switch: ";
inline const char* DipSwitches(const ReadResponse& response) {
  return response.daughterBoardText + sizeof kDipSwitchLabel - 1;
}

// The status texts of a read response: the valid one names the firmware version.
constexpr const char* kInvalidConfigurationText = "Received invalid configuration";
inline constexpr char kReadCompleteFormat[] = "Read complete (F/W v%s)";  // the version, "1.3"

// Looks at one received frame (line feed through carriage return). Only a valid
// response fills all of *response; an invalid one sets its status text alone.
ReadResponseStatus DecodeReadResponse(const uint8_t* frame, uint8_t length,
                                      ReadResponse* response);

// The read response's payload as the unit sends it: "~r", the firmware version's digit
// after the point and the one before it, `spare` (the character the tool ignores), the
// dip-switch character ('0' and switches 1-3 as bits 0-2, a set bit meaning "off")
// and the record's 14 digits.
using ReadResponsePayload = std::array<uint8_t, kReadResponsePayloadLength>;
ReadResponsePayload BuildReadResponsePayload(char firmwareMajor, char firmwareMinor, char spare,
                                             uint8_t dipSwitches, const UnitConfig& config);
