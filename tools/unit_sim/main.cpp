// vtl-unit-sim: the unit simulator's command line. Everything it does is in
// UnitSimulator; this file parses the options, prints, and waits for the end.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "tools/unit_sim/sim_options.h"
#include "tools/unit_sim/unit_simulator.h"

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  switch (ParseSimOptions(argc, argv, &options, &error)) {
    case ParseResult::kHelp:
      std::fputs(SimUsage(), stdout);
      return 0;
    case ParseResult::kError:
      std::fprintf(stderr, "vtl-unit-sim: %s (see --help)\n", error.c_str());
      return 2;
    case ParseResult::kRun:
      break;
  }

  // SIGINT and SIGTERM are taken with sigtimedwait below; blocked before any thread
  // starts, so no other thread is interrupted by them.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
  // A tool closing its end must not kill us through a write.
  signal(SIGPIPE, SIG_IGN);

  UnitSimulator simulator(options, [](const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  if (!simulator.Start(&error)) {
    std::fprintf(stderr, "vtl-unit-sim: %s\n", error.c_str());
    return 1;
  }

  // Until SIGINT or SIGTERM, or until --run-for has passed.
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += options.runForMs / 1000;
  end.tv_nsec += static_cast<long>(options.runForMs % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (!options.runForMs) {
      if (sigwaitinfo(&endSignals, nullptr) > 0) break;
      continue;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = (end.tv_sec - now.tv_sec) * 1000000000LL + (end.tv_nsec - now.tv_nsec);
    if (left <= 0) break;
    const timespec wait = {static_cast<time_t>(left / 1000000000LL),
                           static_cast<long>(left % 1000000000LL)};
    if (sigtimedwait(&endSignals, nullptr, &wait) > 0) break;
  }

  // Stopping waits for the sender, which may be blocked printing to a pipe that
  // nobody reads any more; the alarm ends the process then, as the signal asked.
  alarm(2);
  simulator.Stop();
  std::printf("%s frames in: %llu, frames out: %llu, faults injected: %llu\n", TimeStamp().c_str(),
              static_cast<unsigned long long>(simulator.FramesIn()),
              static_cast<unsigned long long>(simulator.FramesOut()),
              static_cast<unsigned long long>(simulator.FaultsInjected()));
  std::fflush(stdout);
  return 0;
}
