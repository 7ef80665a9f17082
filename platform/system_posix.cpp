// The system's facts on Linux: errno texts, the local time, SIGINT and SIGTERM.
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/system.h"
#include "platform/system_rules.h"

namespace {
std::atomic<bool> stopped{false};

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Takes a stop signal that is pending or arrives within `wait` (nullptr: no limit).
bool TakeStopSignal(const timespec* wait) {
  const sigset_t signals = StopSignals();
  const int taken = wait ? sigtimedwait(&signals, nullptr, wait) : sigwaitinfo(&signals, nullptr);
  if (taken > 0) stopped = true;
  return stopped;
}
}  // namespace

unsigned long LastSystemErrorCode() { return static_cast<unsigned long>(errno); }

std::string SystemErrorText(unsigned long code) {
  return TrimSystemText(std::strerror(static_cast<int>(code)));
}

std::string TimeOfDay() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  return TimeOfDayText(static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                       static_cast<unsigned>(local.tm_sec), static_cast<unsigned>(now.tv_usec / 1000));
}

void CatchStopSignals() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool StopRequested() {
  const timespec now{};
  return stopped || TakeStopSignal(&now);
}

bool WaitForStop(unsigned ms) {
  if (stopped) return true;
  if (ms == kWaitForever) {
    while (!TakeStopSignal(nullptr)) {
    }
    return true;
  }
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += ms / 1000;
  end.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  for (;;) {
    // sigtimedwait returns early on other signals; the time left is taken again.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left = (end.tv_sec - now.tv_sec) * 1000000000LL + (end.tv_nsec - now.tv_nsec);
    const timespec wait = {static_cast<time_t>(left > 0 ? left / 1000000000LL : 0),
                           static_cast<long>(left > 0 ? left % 1000000000LL : 0)};
    if (TakeStopSignal(&wait)) return true;
    if (left <= 0) return false;
  }
}
