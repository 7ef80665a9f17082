// Bytes per second through the receive path (line assembler, checksum, dispatch,
// hand-off to the user-interface queue) for a realistic mix of the unit's frames,
// and that rate as a multiple of the 2400-baud line (240 bytes/s).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "link/frame_queue.h"
#include "tests/native/frame_text.h"

namespace {

// What the tool's reader thread does with an accepted frame: queue it for the pages.
struct QueueingSink : FrameSink {
  FrameQueue queue;
  std::vector<ReceivedFrame> drained;
  bool Respond() const override { return true; }
  void OnFrame(const uint8_t* frame, uint8_t length) override {
    queue.Push(frame, length, 0);
  }
  void LogSent(const uint8_t*, uint8_t) override {}
  void ShowOpenFailure(const char*) override {}
};

void ReceivePath(benchmark::State& state) {
  std::string mix;
  for (int i = 0; i < 100; ++i) {
    mix += FrameText("C0" + std::string(i % 2 ? "02" : "04") + std::string(i % 2 ? 8 : 16, '5'));
    if (i % 5 == 0) mix += FrameText("R");
    if (i % 10 == 0) mix += "\n+\r";
    if (i % 25 == 0) mix += FrameText("~r3105C3DBFB216000D0");
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(mix.data());
  QueueingSink sink;
  FrameCodec codec(&sink);  // not opened: replies are refused, as when a port is gone
  for (auto _ : state) {
    for (size_t at = 0; at < mix.size(); at += 1024) {
      const size_t n = std::min<size_t>(1024, mix.size() - at);
      codec.OnBytesReceived(bytes + at, static_cast<uint32_t>(n));
    }
    sink.queue.TakeAll(&sink.drained);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mix.size()));
  const double perSecond = static_cast<double>(state.iterations() * mix.size());
  state.counters["x_line_rate"] =
      benchmark::Counter(perSecond / 240.0, benchmark::Counter::kIsRate);
}
BENCHMARK(ReceivePath);
}  // namespace

BENCHMARK_MAIN();
