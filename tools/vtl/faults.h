#pragma once
// The tester misbehaving on purpose, towards the unit's ZVL side: ACKs of its controls
// frames turned into NAKs, answers left out, indications answers sent with a wrong
// checksum, every answer held back. `vtl monitor --respond` and `vtl test` share it.
//
// Each answer draws the same numbers from one generator seeded by `seed`, so a unit that
// sends the same frames meets the same faults again. Every fault injected is counted.
//
// Threads: the reader thread answers (SendAck, SendIndications); the owner thread sets
// the options and reads the counts. Both under `mutex`; the delay is slept outside it.
#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "link/frame_codec.h"

struct FaultOptions {
  unsigned nakPct = 0;          // ACKs of "C" and "I" frames sent as NAKs
  unsigned silentPct = 0;       // answers not sent at all
  unsigned badChecksumPct = 0;  // indications answers with a wrong checksum
  unsigned delayMs = 0;         // every answer held back this long
  uint32_t seed = 1;
  bool Any() const { return nakPct || silentPct || badChecksumPct || delayMs; }
  // "nak 20 %, delay 50 ms, seed 1", or "none".
  std::string Text() const;
};

struct FaultCounts {
  unsigned long naks = 0, silences = 0, badChecksums = 0, delays = 0;
  unsigned long Total() const { return naks + silences + badChecksums + delays; }
  FaultCounts Since(const FaultCounts& earlier) const;
  // "2 NAKs, 1 silence", or "" when none.
  std::string Text() const;
};

class FaultInjector {
 public:
  static constexpr unsigned kMaxDelayMs = 10000;

  // New faults from now on, the generator seeded afresh; FaultOptions{} ends them.
  void Set(const FaultOptions& options);
  FaultCounts Counts() const;

  // Answers a "C" or "I" frame: ACK when its checksum held, else NAK, as the faults
  // allow. True when an answer went out.
  bool SendAck(FrameCodec* link, bool valid);
  // Answers an "R" poll with the indications payload, as the faults allow (with a good
  // checksum or not).
  enum class Sent { kSent, kLeftOut, kFailed };
  Sent SendIndications(FrameCodec* link, const uint8_t* payload, unsigned length);

 private:
  struct Draw {
    bool silent, changed;
    unsigned delayMs;
  };
  // One answer's faults: `changePct` is the share of NAKs or of bad checksums.
  Draw Decide(unsigned FaultOptions::*changePct, unsigned long FaultCounts::*changeCount);

  mutable std::mutex mutex;
  FaultOptions options;
  FaultCounts counts;
  std::mt19937 generator{1};
};
