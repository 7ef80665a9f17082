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
#include <cstdint>
#include <string>

// What the page must do after a received frame has been applied to the state.
enum class FrameEffect {
  kNone,             // nothing beyond the log line
  kShowControls,     // the controls changed: redraw the "Controls" text
  kShowIndications,  // the indications changed: redraw the "Indications" text
  kSendIndications,  // an "R" frame while answering: send the indications packet
};

enum class BitSet { kControls, kIndications };

struct CommsState {
  static constexpr uint8_t kWidth32 = 0x20;
  static constexpr uint8_t kWidth64 = 0x40;
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

