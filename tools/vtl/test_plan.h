#pragma once
// `vtl test`'s plan: a TOML file of top-level settings and [[step]] tables, read whole
// and checked before any port is opened. Every error names the file, the line and
// column, and the key.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/unit_config.h"
#include "tools/vtl/faults.h"

enum class StepKind {
  kRead, kWriteFile, kWriteFields, kDefault, kTx, kIndications, kExpectControls,
  kExpectPoll, kWait, kFaults
};

struct PlanStep {
  int number = 0;    // 1 for the first
  std::string name;  // given, or made from the step
  StepKind kind = StepKind::kRead;
  uint32_t timeoutMs = 0;    // the answer window of this step's requests
  uint32_t maxAnswerMs = 0;  // 0: answers are not timed against a limit

  // read: the checks, each empty when not asked for.
  std::string firmware, firmwareMin, dipSwitches, record;
  // read: the fields to check; write = {...}: the fields to change. As `vtl set` takes
  // them: "io", "12".
  std::vector<std::pair<std::string, std::string>> fields;

  std::string file;        // write = "FILE.vtl", as given
  UnitConfig written{};    // its record, loaded when the plan is read
  bool verify = false;     // write and default
  bool txOn = false;
  uint8_t indications[8] = {};
  bool wideIndications = false;
  std::string controls;    // 32 or 64 of '0', '1', 'x', spaces taken out
  uint32_t withinMs = 0;   // expect_controls, expect_poll
  uint32_t waitMs = 0;
  FaultOptions faults;
};

struct Plan {
  std::string file;  // as given on the command line
  std::string name;  // default: the file's stem
  uint32_t timeoutMs = 1000;
  bool keepGoing = false;
  std::vector<PlanStep> steps;
};

// Reads and checks the plan; false with *error ("plan.toml:7:1: step 2, key 'tx': ...").
bool ReadPlan(const std::string& path, Plan* plan, std::string* error);
