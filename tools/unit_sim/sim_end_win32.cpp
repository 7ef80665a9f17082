#include <windows.h>

#include "tools/unit_sim/sim_end.h"

namespace {
HANDLE endRequested = nullptr;  // set by the console's Ctrl-C and Ctrl-Break
HANDLE guardDisarmed = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  SetEvent(endRequested);
  return TRUE;
}

DWORD WINAPI StopGuard(LPVOID ms) {
  if (WaitForSingleObject(guardDisarmed, static_cast<DWORD>(reinterpret_cast<UINT_PTR>(ms))) ==
      WAIT_TIMEOUT) {
    TerminateProcess(GetCurrentProcess(), 1);
  }
  return 0;
}
}  // namespace

void PrepareForEnd() {
  endRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  guardDisarmed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

void WaitForEnd(unsigned runForMs) {
  WaitForSingleObject(endRequested, runForMs ? static_cast<DWORD>(runForMs) : INFINITE);
}

void ArmStopGuard(unsigned ms) {
  const HANDLE guard = CreateThread(nullptr, 0, &StopGuard,
                                    reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(ms)), 0, nullptr);
  if (guard) CloseHandle(guard);
}

void DisarmStopGuard() { SetEvent(guardDisarmed); }
