#include <signal.h>
#include <unistd.h>

#include <ctime>

#include "tools/unit_sim/sim_end.h"

namespace {
sigset_t EndSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}
}  // namespace

void PrepareForEnd() {
  // SIGINT and SIGTERM are taken with sigtimedwait; blocked before any thread starts,
  // so no other thread is interrupted by them.
  const sigset_t signals = EndSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A tool closing its end must not kill us through a write.
  signal(SIGPIPE, SIG_IGN);
}

void WaitForEnd(unsigned runForMs) {
  const sigset_t signals = EndSignals();
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += runForMs / 1000;
  end.tv_nsec += static_cast<long>(runForMs % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (!runForMs) {
      if (sigwaitinfo(&signals, nullptr) > 0) return;
      continue;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left = (end.tv_sec - now.tv_sec) * 1000000000LL + (end.tv_nsec - now.tv_nsec);
    if (left <= 0) return;
    const timespec wait = {static_cast<time_t>(left / 1000000000LL),
                           static_cast<long>(left % 1000000000LL)};
    if (sigtimedwait(&signals, nullptr, &wait) > 0) return;
  }
}

void ArmStopGuard(unsigned ms) { alarm((ms + 999) / 1000); }

void DisarmStopGuard() { alarm(0); }
