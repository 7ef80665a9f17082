#include "comms/comms_state.h"

#include "link/bit_text.h"
#include "link/hex.h"

const char* const kPortEntries[kPortEntryCount] = {
    "None", "COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7",
    "COM8", "COM9",  "COM10", "COM11", "COM12", "COM13", "COM14", "COM15",
};

namespace {
// The text with `value` in place of its first "%s", taken literally.
std::string FilledIn(const char* text, const std::string& value) {
  std::string filled = text;
  const size_t at = filled.find("%s");
  if (at != std::string::npos) filled.replace(at, 2, value);
  return filled;
}

std::string PortName(const std::string& text) { return text.substr(0, kMaxPortNameLength); }

// Frame positions: the payload starts after the line feed.
constexpr unsigned kWidthDigit = 3;  // width, low-nibble digit; the high one follows
constexpr unsigned kFirstData = 5;   // byte 0, low-nibble digit
}  // namespace

BitsFrame DecodeBitsFrame(const uint8_t* frame, uint8_t length) {
  BitsFrame bits;
  if (frame == nullptr) return bits;
  // A frame too short to hold its width has no width we could trust.
  if (kWidthDigit + 1 < length) bits.width = HexByte(frame[kWidthDigit], frame[kWidthDigit + 1]);
  for (unsigned i = 0; i < 8; ++i) {
    const unsigned low = kFirstData + 2 * i;
    if (low + 1 >= length) break;
    bits.bytes[i] = HexByte(frame[low], frame[low + 1]);
    bits.bytesRead = i + 1;
  }
  return bits;
}

FrameEffect CommsState::Receive(const uint8_t* frame, uint8_t length) {
  if (frame == nullptr || length < 2) return FrameEffect::kNone;
  switch (frame[1]) {
    case 'C': {
      const BitsFrame bits = DecodeBitsFrame(frame, length);
      if (!bits.WidthKnown()) return FrameEffect::kNone;
      // Bytes whose digits lie past a short frame's end keep their values.
      for (unsigned i = 0; i < bits.ByteCount() && i < bits.bytesRead; ++i) {
        controls[i] = bits.bytes[i];
      }
      wideControls = bits.width == kWidth64;
      return FrameEffect::kShowControls;
    }
    case 'I': {
      // Width and length are not examined: a received indications frame only ever
      // sets indications 1 to 32. Bytes whose digits lie past a short frame's end keep
      // their values rather than being read from beyond it.
      const BitsFrame bits = DecodeBitsFrame(frame, length);
      for (unsigned i = 0; i < 4 && i < bits.bytesRead; ++i) indications[i] = bits.bytes[i];
      return FrameEffect::kShowIndications;
    }
    case 'R':
      return respond.load() ? FrameEffect::kSendIndications : FrameEffect::kNone;
    default:
      return FrameEffect::kNone;
  }
}

std::string CommsState::BitsText(BitSet which) const {
  const bool controlsWanted = which == BitSet::kControls;
  const uint8_t* bytes = controlsWanted ? controls : indications;
  const unsigned count = (controlsWanted ? wideControls : wideIndications) ? 8 : 4;
  return BitText(bytes, count);
}

unsigned CommsState::IndicationsPayload(uint8_t payload[kMaxPayload]) const {
  return BitsPayload('I', indications, wideIndications, payload);
}

bool CommsState::Indication(int number) const {
  if (number < 1 || number > 64) return false;
  return (indications[(number - 1) / 8] >> ((number - 1) % 8)) & 1;
}

void CommsState::SetIndication(int number, bool on) {
  if (number < 1 || number > 64) return;
  const uint8_t mask = static_cast<uint8_t>(1u << ((number - 1) % 8));
  uint8_t& byte = indications[(number - 1) / 8];
  byte = static_cast<uint8_t>(on ? byte | mask : byte & ~mask);
}

bool IsNoPort(const std::string& portName) {
  return PortName(portName) == kPortEntries[kNoPortEntry];
}

std::string PortDevicePath(const std::string& portName) { return "\\\\.\\" + PortName(portName); }

std::string PortEventText(PortEvent event, const std::string& devicePath) {
  switch (event) {
    case PortEvent::kOpened: return FilledIn(kPortOpenedText, devicePath);
    case PortEvent::kOpenFailed: return FilledIn(kPortOpenFailedText, devicePath);
    case PortEvent::kClosed: return kPortClosedText;
    case PortEvent::kLost: return FilledIn(kPortLostText, devicePath);
  }
  return std::string();
}

void PortWatch::Chosen() {
  state = State::kNone;
  devicePath.clear();
}

void PortWatch::Opened(const std::string& path) {
  state = State::kOpen;
  devicePath = path;
}

bool PortWatch::Lose() {
  if (state != State::kOpen) return false;
  state = State::kRetrying;
  return true;
}

std::string UnsentAnswerNotices::AfterAnswer(bool sent) {
  if (!sent) return unsent++ == 0 ? kAnswersNotSentText : "";
  if (unsent == 0) return "";
  const std::string notice = FilledIn(kAnswersSentAgainText, std::to_string(unsent));
  unsent = 0;
  return notice;
}

unsigned BitsPayload(uint8_t type, const uint8_t bytes[8], bool wide,
                     uint8_t payload[CommsState::kMaxPayload]) {
  const unsigned count = wide ? 8 : 4;
  unsigned n = 0;
  payload[n++] = type;
  payload[n++] = '0';
  payload[n++] = '0';
  payload[n++] = wide ? '4' : '2';
  for (unsigned i = 0; i < count; ++i) {
    HexDigit(&payload[n++], bytes[i]);
    HexDigit(&payload[n++], bytes[i] >> 4);
  }
  payload[n++] = ':';
  return n;
}
