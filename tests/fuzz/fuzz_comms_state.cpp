// Any sequence of received frames through the "ZVL comms" state: nothing read outside
// a frame, the bit texts always 36 or 72 characters of '0', '1' and spaces, and the
// indications packet always one the state itself reads back to the same indications.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comms/comms_state.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckBits(const std::string& text, bool wide) {
  Check(text.size() == (wide ? 72u : 36u));
  for (size_t i = 0; i < text.size(); ++i) {
    if (i % 9 == 8) {
      Check(text[i] == ' ');
    } else {
      Check(text[i] == '0' || text[i] == '1');
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  CommsState state;
  state.respond = data[0] & 1;
  state.wideIndications = data[0] & 2;
  // Frames are the pieces between 0xFF bytes; each is copied to a buffer of its own
  // exact size so that any read past its end is seen.
  size_t at = 1;
  while (at <= size) {
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + at, 0xFF, size - at));
    const size_t n = (end ? static_cast<size_t>(end - data) : size) - at;
    const uint8_t length = static_cast<uint8_t>(n > 255 ? 255 : n);
    uint8_t* frame = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    if (length) std::memcpy(frame, data + at, length);
    const uint8_t controlsBefore[8] = {state.controls[0], state.controls[1], state.controls[2],
                                       state.controls[3], state.controls[4], state.controls[5],
                                       state.controls[6], state.controls[7]};
    const FrameEffect effect = state.Receive(frame, length);
    if (effect != FrameEffect::kShowControls)
      Check(std::memcmp(controlsBefore, state.controls, 8) == 0);
    if (effect == FrameEffect::kSendIndications) Check(state.respond && length >= 2 && frame[1] == 'R');
    std::free(frame);
    CheckBits(state.BitsText(BitSet::kControls), state.wideControls);
    CheckBits(state.BitsText(BitSet::kIndications), state.wideIndications);
    at += n + 1;
  }

  // The packet the tool would send, framed and received by a fresh state, gives back
  // indications 1 to 32 (a received packet never sets more).
  uint8_t payload[CommsState::kMaxPayload];
  const unsigned n = state.IndicationsPayload(payload);
  Check(n == (state.wideIndications ? 21u : 13u));
  uint8_t frame[CommsState::kMaxPayload + 4];
  frame[0] = '\n';
  std::memcpy(frame + 1, payload, n);
  frame[n + 1] = '0';
  frame[n + 2] = '0';
  frame[n + 3] = '\r';
  CommsState echo;
  Check(echo.Receive(frame, static_cast<uint8_t>(n + 4)) == FrameEffect::kShowIndications);
  for (int number = 1; number <= 32; ++number) Check(echo.Indication(number) == state.Indication(number));
  return 0;
}
