#pragma once
// What the "ZVL comms" page knows of the link: the unit's latest controls, the
// indications the tool reports back, their widths, and whether the tool answers.
//
// Numbering, the same for controls and indications: number n (1 to 64) is bit
// (n - 1) mod 8 of byte (n - 1) div 8, bit 0 the least significant. A width of 32 only
// shows and sends bytes 0 to 3; bytes 4 to 7 keep their values until written.
//
// "C" and "I" payloads: type, one unexamined character, the width in bits as two
// digits (low nibble first: "02" is 0x20 = 32, "04" is 0x40 = 64), then the bytes as two
// digits each, low nibble first; the indications packet ends in ":".
//
// Threads: everything here belongs to the user-interface thread except `respond`,
// which the reader thread reads to decide whether "C" and "I" frames are answered.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// The port list, in list order: "None" (no port), then COM1 to COM15. The page starts
// on "None" and tries COM1 once the sheet is on screen.
constexpr int kPortEntryCount = 16;
extern const char* const kPortEntries[kPortEntryCount];
constexpr int kNoPortEntry = 0;
constexpr int kFirstTriedPortEntry = 1;

// How much of the list's text names a port; the rest is not read.
constexpr size_t kMaxPortNameLength = 7;
// Whether the chosen name is "None", which closes the port instead of opening one.
bool IsNoPort(const std::string& portName);
// The device that a port name opens: "\\.\" and the name ("COM1" opens "\\.\COM1").
std::string PortDevicePath(const std::string& portName);

// Port events as the message log shows them, with the device path ("\\.\COM1") in
// place of the "%s".
enum class PortEvent {
  kOpened,      // '<path>' opened
  kOpenFailed,  // Failed to open '<path>'
  kClosed,      // Port closed ("None" was chosen; no path)
  kLost,        // '<path>' lost: the open port's device went away
};
inline constexpr char kPortOpenedText[] = "'%s' opened";
inline constexpr char kPortOpenFailedText[] = "Failed to open '%s'";
inline constexpr char kPortClosedText[] = "Port closed";
inline constexpr char kPortLostText[] = "'%s' lost";
std::string PortEventText(PortEvent event, const std::string& devicePath);

// The error box's text when the indications packet did not go out: every send the user
// makes, and an answer to "R" while no port is open (one on an open port is logged by
// UnsentAnswerNotices instead).
inline constexpr char kIndicationsNotSentText[] = "Failed to send indications packet";

// The port the page has open, and the tries to open it again after its device went
// away (unplugged, or the far end of a virtual line closed).
//
// A lost port stays chosen in the list. The page closes it, logs its loss once and
// tries to open it again about once a second, quietly: no box and no line for a try
// that fails. A try that succeeds is logged like any opening and ends the tries;
// choosing an entry of the list ends them at once.
class PortWatch {
 public:
  static constexpr unsigned kRetryPeriodMs = 1000;

  // The user chose an entry: whatever port was open or being tried is let go.
  void Chosen();
  // A port was opened, chosen or by a try that succeeded.
  void Opened(const std::string& devicePath);
  // The open port's device went away. True when that is news: the page logs the loss
  // and starts trying. False when no port is open (a late notice).
  bool Lose();

  bool Retrying() const { return state == State::kRetrying; }
  // The open port, or the lost port being tried; empty otherwise.
  const std::string& DevicePath() const { return devicePath; }

 private:
  enum class State { kNone, kOpen, kRetrying };
  State state = State::kNone;
  std::string devicePath;
};

// Answers to "R" frames go out while the port is open, and a write that the line does
// not take in its own time is given up. Under a flood of polls faster than the line that
// happens to one answer after another, and a box for each would hold the window (and its
// Close) for as long as the flood lasts. So the log says it once, kAnswersNotSentText,
// and once an answer goes out again kAnswersSentAgainText with the count for "%s".
inline constexpr char kAnswersNotSentText[] =
    "Answers to 'R' not sent: the line does not take them in time";
inline constexpr char kAnswersSentAgainText[] = "Answers to 'R' sent again (%s not sent)";
class UnsentAnswerNotices {
 public:
  // After an answer was sent (true) or given up (false): the line to log, or "".
  std::string AfterAnswer(bool sent);

 private:
  size_t unsent = 0;  // answers given up since the last one that went out
};

// What the page must do after a received frame has been applied to the state.
enum class FrameEffect {
  kNone,             // nothing beyond the log line
  kShowControls,     // the controls changed: redraw the "Controls" text
  kShowIndications,  // the indications changed: redraw the "Indications" text
  kSendIndications,  // an "R" frame while answering: send the indications packet
};

enum class BitSet { kControls, kIndications };

// What a "C" or an "I" frame (line feed through carriage return) carries, read alike
// for both: the width its digits give (0 when the frame is too short to hold them), and
// each data byte whose two digits lie inside the frame, up to eight, whatever the width.
struct BitsFrame {
  static constexpr uint8_t kWidth32 = 0x20;
  static constexpr uint8_t kWidth64 = 0x40;
  uint8_t width = 0;
  unsigned bytesRead = 0;  // bytes[0..bytesRead) came from the frame; the rest are 0
  uint8_t bytes[8] = {};

  bool WidthKnown() const { return width == kWidth32 || width == kWidth64; }
  unsigned ByteCount() const { return width == kWidth64 ? 8 : 4; }
};
BitsFrame DecodeBitsFrame(const uint8_t* frame, uint8_t length);

struct CommsState {
  static constexpr uint8_t kWidth32 = BitsFrame::kWidth32;
  static constexpr uint8_t kWidth64 = BitsFrame::kWidth64;
  static constexpr unsigned kMaxPayload = 21;  // the 64-bit indications packet

  // Applies a received frame (line feed through carriage return) and says what
  // follows. Never reads at or beyond `length`.
  FrameEffect Receive(const uint8_t* frame, uint8_t length);

  // "1"/"0" per bit, bit 0 of byte 0 first, each byte followed by a space:
  // 36 characters for 32 bits, 72 for 64.
  std::string BitsText(BitSet which) const;

  // The indications packet: 13 characters for 32 bits, 21 for 64. Returns the length.
  unsigned IndicationsPayload(uint8_t payload[kMaxPayload]) const;

  bool Indication(int number) const;  // number 1 to 64
  void SetIndication(int number, bool on);

  // "Respond to messages": written by the user-interface thread, read by both.
  std::atomic<bool> respond{false};
  bool wideIndications = false;  // "64 bits" is ticked
  bool wideControls = false;     // the last accepted "C" frame was 64 bits wide
  uint8_t indications[8] = {};
  uint8_t controls[8] = {};
};

// The payload of a "C" or an "I" frame as it is sent: `type`, an unexamined "0", the
// width's two digits ("02" for 32 bits, "04" for 64), bytes 0 to 3 (0 to 7 when wide)
// as two digits each, and ":". The tool's indications packet and the unit's controls
// frames alike. Returns the length: 13 for 32 bits, 21 for 64.
unsigned BitsPayload(uint8_t type, const uint8_t bytes[8], bool wide,
                     uint8_t payload[CommsState::kMaxPayload]);
