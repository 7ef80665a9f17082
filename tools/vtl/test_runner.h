#pragma once
// `vtl test`: one plan run against every unit given, side by side, each unit on a thread
// of its own with its own link, results printed as each step ends.
#include <string>
#include <vector>

#include "tools/vtl/test_plan.h"

struct TestOptions {
  std::vector<std::string> ports;
  std::string junitFile;  // empty: no JUnit file
  bool json = false;
};

// Runs the plan; the exit status: 0 every unit passed, 1 a unit failed or the run was
// interrupted, 2 the JUnit file cannot be written, 3 no port could be opened.
int RunTest(const Plan& plan, const TestOptions& options);

// `vtl test --check`: the plan's settings and steps, no port opened.
void PrintPlan(const Plan& plan, bool json);
