// vtl on Windows: "\\.\" device names, GetLastError texts, the ports the system lists
// in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, and Ctrl-C / Ctrl-Break / closing the console
// as a flag.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "tools/vtl/platform.h"

namespace {
std::atomic<bool> stopFlag{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  stopFlag = true;
  return TRUE;  // handled: the main loop ends the program with its counts
}
}  // namespace

std::string DevicePath(const std::string& port) {
  // "\\.\COM12" is passed as it is; any other name gets the prefix, without which
  // CreateFile finds COM1 to COM9 only (Win32 docs, "Naming a File": COM10 and up).
  if (port.rfind("\\\\.\\", 0) == 0) return port;
  return "\\\\.\\" + port;
}

std::string LastSystemError() {
  const DWORD code = GetLastError();
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  std::string reason(text, n);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  if (reason.empty()) reason = "system error";
  return reason + " (error " + std::to_string(code) + ")";
}

std::vector<std::string> ListPorts() {
  // Every serial port driver enters its ports here, value data the port name
  // (Microsoft docs, "SERIALCOMM device map").
  std::vector<std::string> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[256];
    DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
    const LONG result = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = 0;
    ports.emplace_back(reinterpret_cast<const char*>(data));
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::string TimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
  return text;
}

// MoveFileEx replaces an existing file only when told to (its Microsoft Learn page,
// MOVEFILE_REPLACE_EXISTING); rename() would refuse.
bool MoveIntoPlace(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void CatchStopSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool StopRequested() { return stopFlag.load(); }
