// vtl-unit-sim: the unit simulator's command line, on Linux and on Windows. Everything
// it does is in UnitSimulator; this file parses the options, prints, and waits for the
// end (sim_end.h).
#include <cstdio>

#include "tools/unit_sim/sim_end.h"
#include "tools/unit_sim/sim_options.h"
#include "tools/unit_sim/unit_simulator.h"
#include "vtl_version.h"

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  switch (ParseSimOptions(argc, argv, &options, &error)) {
    case ParseResult::kHelp:
      std::fputs(SimUsage().c_str(), stdout);
      return 0;
    case ParseResult::kVersion:
      std::puts("vtl-unit-sim " VTL_VERSION_STRING);
      return 0;
    case ParseResult::kError:
      std::fprintf(stderr, "vtl-unit-sim: %s (see --help)\n", error.c_str());
      return 2;
    case ParseResult::kRun:
      break;
  }

  PrepareForEnd();
  UnitSimulator simulator(options, [](const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  if (!simulator.Start(&error)) {
    std::fprintf(stderr, "vtl-unit-sim: %s\n", error.c_str());
    return 1;
  }

  WaitForEnd(options.runForMs);

  ArmStopGuard(2000);
  simulator.Stop();
  std::printf("%s frames in: %llu, frames out: %llu, faults injected: %llu\n", TimeStamp().c_str(),
              static_cast<unsigned long long>(simulator.FramesIn()),
              static_cast<unsigned long long>(simulator.FramesOut()),
              static_cast<unsigned long long>(simulator.FaultsInjected()));
  std::fflush(stdout);
  // Removing a Wine port mapping (as the simulator is destroyed) may take longer.
  DisarmStopGuard();
  return 0;
}
