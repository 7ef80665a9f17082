// Any bytes, cut into any number of reads, through the line assembler and the
// dispatch: no read or write outside the line, every frame passed on well formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "link/frame_codec.h"

namespace {
struct CheckingSink : FrameSink {
  bool respond = false;
  bool Respond() const override { return respond; }
  void OnFrame(const uint8_t* frame, uint8_t length) override {
    if (length < 3 || length > FrameCodec::kLineCapacity || frame[0] != 0x0A ||
        frame[length - 1] != 0x0D)
      std::abort();
  }
  void LogSent(const uint8_t*, uint8_t) override {}
  void ShowOpenFailure(const char*) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  CheckingSink sink;
  sink.respond = data[0] & 1;
  FrameCodec codec(&sink);
  // The first byte also sets how the rest is cut into reads.
  const size_t chunk = 1 + (data[0] >> 1) % 64;
  for (size_t at = 1; at < size; at += chunk) {
    const size_t n = (size - at < chunk) ? size - at : chunk;
    codec.OnBytesReceived(data + at, static_cast<uint32_t>(n));
  }
  return 0;
}
