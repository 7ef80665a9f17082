// The system's facts on Windows: GetLastError texts, the local time, and Ctrl-C,
// Ctrl-Break and closing the console.
#include <windows.h>

#include <atomic>

#include "platform/system.h"
#include "platform/system_rules.h"

namespace {
std::atomic<bool> stopped{false};
HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  stopped = true;
  SetEvent(stopEvent);
  return TRUE;  // handled: the program ends in its own time, with its counts
}
}  // namespace

unsigned long LastSystemErrorCode() { return GetLastError(); }

std::string SystemErrorText(unsigned long code) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  return TrimSystemText(std::string(text, n));
}

std::string TimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return TimeOfDayText(now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

void CatchStopSignals() {
  if (stopEvent == nullptr) stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

bool StopRequested() { return stopped.load(); }

bool WaitForStop(unsigned ms) {
  if (stopped) return true;
  return WaitForSingleObject(stopEvent, ms == kWaitForever ? INFINITE : ms) == WAIT_OBJECT_0;
}
