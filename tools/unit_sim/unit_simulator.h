#pragma once
// A stand-in for the Vantrel unit with its "K4-ZVL" firmware, seen from the ZVL side:
// it answers the tool's configuration requests, keeps a configuration record, reports
// controls, polls for indications and takes the tool's indications frames, and can be
// told to misbehave in the ways a real line does.
//
// Threads: the line's reader thread feeds OnBytes, which assembles lines and decides
// every answer; answers are queued with the time they are due. One sender thread
// writes everything: due answers, periodic controls and polls, and the flood, so a
// frame is never interleaved with another even when it is split into pieces. State
// shared by the two (the record, the indications, the queue, the random generator)
// is under `mutex`; the sender never holds it while writing. With --line-rate each
// thread waits for the line's pace on its own side (the reader before it acts on a
// line, the sender before each byte), on `wake`, so that stopping ends either wait.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/config_file.h"
#include "config/unit_config.h"
#include "link/line_assembler.h"
#include "tools/unit_sim/line_pace.h"
#include "tools/unit_sim/sim_options.h"

class SimLine;

class UnitSimulator {
 public:
  using Bytes = std::vector<uint8_t>;
  using Clock = std::chrono::steady_clock;
  // Receives every output line, already time-stamped, without a line end.
  using Output = std::function<void(const std::string&)>;

  UnitSimulator(const SimOptions& options, Output output);
  ~UnitSimulator();
  UnitSimulator(const UnitSimulator&) = delete;
  UnitSimulator& operator=(const UnitSimulator&) = delete;

  // Loads the record if asked, opens or creates the line and starts the threads.
  // On failure *error says why and nothing is left running.
  bool Start(std::string* error);
  // Stops the threads and closes the line; safe to call twice. A Wine port mapping
  // stays until the simulator is destroyed, since removing it runs Wine.
  void Stop();

  // The path the tool should open: the device given, or our pseudo-terminal's end.
  std::string LinePath() const;

  // The line's reader thread: received bytes, in order.
  void OnBytes(const uint8_t* bytes, size_t count);
  // The line's reader thread: the device went away.
  void OnLineFailed();

  UnitConfig Config() const;
  bool TransmitterOn() const;
  // Indications 1-64 as last reported by the tool, and the width it reported.
  std::vector<uint8_t> Indications() const;
  unsigned IndicationsWidth() const;
  uint64_t FramesIn() const { return framesIn; }
  uint64_t FramesOut() const { return framesOut; }
  uint64_t FaultsInjected() const { return faults; }

 private:
  struct Outgoing {
    Clock::time_point due;
    uint64_t order;
    Bytes bytes;
    std::string note;
  };

  void Emit(const std::string& text);
  void HandleLine(const uint8_t* line, size_t length);
  void HandleConfigFrame(const uint8_t* payload, size_t length);
  void HandleIndications(const uint8_t* line, size_t length);
  // Queues ACK or NAK (or NAK in place of ACK when that fault strikes). When it is an
  // ACK, carryOut runs first, under the mutex. True when the ACK was queued.
  bool Answer(bool accept, const std::string& why,
              const std::function<void()>& carryOut = nullptr);
  void QueueAnswer(Bytes bytes, const std::string& note);
  // Frames a payload; may give it a bad checksum when that fault is on.
  Bytes Frame(const std::string& payload, const std::string& what);
  std::string ReadResponseText() const;
  std::string NextControlsPayload();
  bool Chance(unsigned percent);
  // Waits until `until`; false, at once, when the simulator is stopping.
  bool PauseUntil(Clock::time_point until);
  bool Stopping() const;

  void SenderLoop();
  void Transmit(const Bytes& bytes, const std::string& note);
  void WritePiece(const uint8_t* bytes, size_t count);
  // With --line-rate: each byte goes to the line once it would have crossed it.
  size_t WritePaced(const uint8_t* bytes, size_t count);

  const SimOptions options;
  const Output output;
  std::unique_ptr<SimLine> line;

  mutable std::mutex mutex;
  std::condition_variable wake;
  std::vector<Outgoing> queue;
  uint64_t nextOrder = 0;
  bool stopping = false;
  UnitConfig config;
  bool transmitterOn = true;
  uint8_t indications[8] = {};
  unsigned indicationsWidth = 0;
  uint64_t controlsStep = 0;
  uint64_t floodSent = 0;
  uint64_t requestsAnswered = 0;
  std::mt19937 random;

  // Reader thread only.
  LineAssembler received;
  LinePace takePace;
  // Sender thread only.
  LinePace sendPace;

  std::atomic<uint64_t> framesIn{0};
  std::atomic<uint64_t> framesOut{0};
  std::atomic<uint64_t> faults{0};
  std::mutex outputMutex;
  std::thread sender;
  bool started = false;
};

// Why a .vtl file could not be loaded, for the message: its size when that is wrong,
// else the system's reason.
std::string WhyConfigFileFailed(const std::string& path, ConfigFileError error);
// "HH:MM:SS.mmm" of the wall clock, for the output lines.
std::string TimeStamp();
