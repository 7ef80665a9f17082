#pragma once
// What `vtl test` found, and the three forms it is reported in: a line per step and
// per unit for people, one JSON object per line with --json, and a JUnit XML file.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/vtl/faults.h"

enum class Verdict { kPass, kFail, kError, kSkip };

struct StepResult {
  int number = 0;
  std::string name;
  Verdict verdict = Verdict::kSkip;
  std::string reason;    // why it failed, errored or was skipped
  std::string figure;    // what it found, for a passed step: "firmware 1.3"
  uint32_t timeMs = 0;   // wall time of the step
  std::vector<uint32_t> answerMs;  // every request's answer time, in order
  FaultCounts faults;              // injected during the step
  // What a read found, for the unit's properties.
  std::string firmware, dipSwitches, record;
};

struct UnitResult {
  std::string port;
  bool opened = false;
  bool interrupted = false;
  uint32_t timeMs = 0;
  std::string firmware, dipSwitches, record;  // the last read's
  std::vector<StepResult> steps;
  bool Passed() const;
};

// Prints results as they come, whole lines, from any unit's thread.
class TestPrinter {
 public:
  explicit TestPrinter(bool json) : json(json) {}
  void Step(const std::string& port, const StepResult& step);
  void Unit(const UnitResult& unit);
  void End(const std::vector<UnitResult>& units, int exitStatus);

 private:
  void Line(const std::string& line);
  const bool json;
  std::mutex mutex;
};

const char* VerdictText(Verdict verdict);  // "PASS", "FAIL", "ERROR", "SKIP"

// The JUnit XML of the run.
std::string JUnitXml(const std::string& planName, const std::vector<UnitResult>& units);
// Writes `text` to a temporary file beside `path` and moves it into place, so that the
// file is there whole or not at all. False with *reason on failure.
bool WriteWhole(const std::string& path, const std::string& text, std::string* reason);
