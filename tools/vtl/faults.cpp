#include "tools/vtl/faults.h"

#include <chrono>
#include <thread>

#include "link/frame_format.h"

namespace {
std::string Plural(unsigned long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}
}  // namespace

std::string FaultOptions::Text() const {
  if (!Any()) return "none";
  std::string text;
  const auto add = [&text](unsigned value, const std::string& what) {
    if (value) text += (text.empty() ? "" : ", ") + what;
  };
  add(nakPct, "nak " + std::to_string(nakPct) + " %");
  add(silentPct, "silent " + std::to_string(silentPct) + " %");
  add(badChecksumPct, "bad checksum " + std::to_string(badChecksumPct) + " %");
  add(delayMs, "delay " + std::to_string(delayMs) + " ms");
  return text + ", seed " + std::to_string(seed);
}

FaultCounts FaultCounts::Since(const FaultCounts& earlier) const {
  FaultCounts d;
  d.naks = naks - earlier.naks;
  d.silences = silences - earlier.silences;
  d.badChecksums = badChecksums - earlier.badChecksums;
  d.delays = delays - earlier.delays;
  return d;
}

std::string FaultCounts::Text() const {
  std::string text;
  const auto add = [&text](unsigned long n, const char* one, const char* many) {
    if (n) text += (text.empty() ? "" : ", ") + Plural(n, one, many);
  };
  add(naks, "NAK", "NAKs");
  add(silences, "silence", "silences");
  add(badChecksums, "bad checksum", "bad checksums");
  add(delays, "delayed answer", "delayed answers");
  return text;
}

void FaultInjector::Set(const FaultOptions& newOptions) {
  std::lock_guard<std::mutex> hold(mutex);
  options = newOptions;
  generator.seed(options.seed);
}

FaultCounts FaultInjector::Counts() const {
  std::lock_guard<std::mutex> hold(mutex);
  return counts;
}

FaultInjector::Draw FaultInjector::Decide(unsigned FaultOptions::*changePct,
                                          unsigned long FaultCounts::*changeCount) {
  std::lock_guard<std::mutex> hold(mutex);
  // Two draws for every answer, whatever the outcome, so that the sequence of faults
  // depends on the seed and the number of answers alone. The raw numbers of mt19937 are
  // the same on every platform (its distributions are not).
  const bool silent = generator() % 100 < options.silentPct;
  const bool changed = !silent && generator() % 100 < options.*changePct;
  if (silent) ++counts.silences;
  if (changed) ++(counts.*changeCount);
  if (!silent && options.delayMs) ++counts.delays;
  return {silent, changed, silent ? 0 : options.delayMs};
}

bool FaultInjector::SendAck(FrameCodec* link, bool valid) {
  const Draw draw = Decide(&FaultOptions::nakPct, &FaultCounts::naks);
  if (draw.silent) return false;
  if (draw.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(draw.delayMs));
  // A frame that failed its checksum is NAKed anyway; only an ACK can be turned.
  return link->SendRaw(valid && !draw.changed ? kAckFrame : kNakFrame, 3);
}

FaultInjector::Sent FaultInjector::SendIndications(FrameCodec* link, const uint8_t* payload,
                                                   unsigned length) {
  const Draw draw = Decide(&FaultOptions::badChecksumPct, &FaultCounts::badChecksums);
  if (draw.silent) return Sent::kLeftOut;
  if (draw.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(draw.delayMs));
  uint8_t frame[FrameCodec::kMaxPayload + kFrameOverhead];
  const uint32_t size = BuildFrame(payload, length, frame);
  if (draw.changed) {
    // The checksum of the same bytes plus one: two good hex digits that do not fit.
    PutChecksum(&frame[size - 3], static_cast<uint8_t>(FrameSum(frame, size - 3) + 1));
  }
  return link->SendRaw(frame, size) ? Sent::kSent : Sent::kFailed;
}
