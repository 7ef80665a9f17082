// vtl on Windows: "\\.\" device names, GetLastError texts with their numbers, and the
// ports the system lists in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include <windows.h>

#include <algorithm>

#include "platform/system_rules.h"
#include "tools/vtl/platform.h"

std::string DevicePath(const std::string& port) { return ComDevicePath(port); }

std::string LastSystemError() {
  const unsigned long code = LastSystemErrorCode();
  std::string reason = SystemErrorText(code);
  while (!reason.empty() && reason.back() == '.') reason.pop_back();
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

