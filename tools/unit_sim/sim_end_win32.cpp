#include <windows.h>

#include "platform/system.h"
#include "tools/unit_sim/sim_end.h"

namespace {
HANDLE guardDisarmed = nullptr;

DWORD WINAPI StopGuard(LPVOID ms) {
  if (WaitForSingleObject(guardDisarmed, static_cast<DWORD>(reinterpret_cast<UINT_PTR>(ms))) ==
      WAIT_TIMEOUT) {
    TerminateProcess(GetCurrentProcess(), 1);
  }
  return 0;
}
}  // namespace

void PrepareForEnd() {
  guardDisarmed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CatchStopSignals();
}

void WaitForEnd(unsigned runForMs) { WaitForStop(runForMs ? runForMs : kWaitForever); }

void ArmStopGuard(unsigned ms) {
  const HANDLE guard = CreateThread(nullptr, 0, &StopGuard,
                                    reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(ms)), 0, nullptr);
  if (guard) CloseHandle(guard);
}

void DisarmStopGuard() { SetEvent(guardDisarmed); }
