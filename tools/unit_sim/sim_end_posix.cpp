#include <signal.h>
#include <unistd.h>

#include "platform/system.h"
#include "tools/unit_sim/sim_end.h"

void PrepareForEnd() {
  CatchStopSignals();
  // A tool closing its end must not kill us through a write.
  signal(SIGPIPE, SIG_IGN);
}

void WaitForEnd(unsigned runForMs) { WaitForStop(runForMs ? runForMs : kWaitForever); }

void ArmStopGuard(unsigned ms) { alarm((ms + 999) / 1000); }

void DisarmStopGuard() { alarm(0); }
