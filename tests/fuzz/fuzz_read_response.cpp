// Any received frame through the read-response decoder and the "K4 Config" page's
// answer handling: nothing read outside the frame, texts always terminated, and a
// response called valid only when it is a 24-byte "~r" frame whose record is exactly
// what its digits say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/config_form.h"
#include "config/unit_config.h"
#include "link/hex.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}

bool Terminated(const char* text, size_t capacity) {
  return std::memchr(text, '\0', capacity) != nullptr;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Frames are at most 255 bytes (8-bit lengths); the codec hands on at most 64.
  if (size < 1 || size > 256) return 0;
  const uint32_t tick = data[0] * 7u;
  const uint8_t length = static_cast<uint8_t>(size - 1);
  // An exact-size copy, so ASan sees any read past the frame.
  uint8_t* frame = static_cast<uint8_t*>(std::malloc(length ? length : 1));
  if (length) std::memcpy(frame, data + 1, length);

  ReadResponse response;
  std::memset(&response, 0x55, sizeof response);  // no terminators to be found by luck
  const ReadResponseStatus status = DecodeReadResponse(frame, length, &response);
  const bool isRead = length >= 3 && frame[1] == '~' && frame[2] == 'r';
  if (!isRead) Check(status == ReadResponseStatus::kNotReadResponse);
  if (isRead && length != kReadResponseFrameLength) {
    Check(status == ReadResponseStatus::kInvalid);
    Check(std::strcmp(response.statusText, kInvalidConfigurationText) == 0);
  }
  if (status == ReadResponseStatus::kValid) {
    Check(isRead && length == kReadResponseFrameLength);
    Check(Terminated(response.statusText, sizeof response.statusText));
    Check(Terminated(response.daughterBoardText, sizeof response.daughterBoardText));
    Check(std::strlen(response.daughterBoardText) <= 51);
    uint8_t bytes[kConfigBytes];
    ConfigToBytes(response.config, bytes);
    for (size_t i = 0; i < kConfigBytes; ++i)
      Check(bytes[i] == HexByte(frame[7 + 2 * i], frame[8 + 2 * i]));
  }

  // The page: a read and a write outstanding, then this frame.
  ConfigForm form;
  form.ReadRequested(0);
  form.WriteRequested(0);
  const UnitConfig before = form.config;
  const ConfigForm::FrameOutcome outcome = form.OnFrame(frame, length, tick);
  Check(outcome.showConfig == (status == ReadResponseStatus::kValid));
  if (!outcome.showConfig) Check(form.config == before);
  Check(outcome.statuses.size() <= 2);
  std::free(frame);
  return 0;
}
