// vtl on Linux: device paths as given, errno texts, ports from /dev/serial/by-id and
// /sys/class/tty.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "tools/vtl/platform.h"

namespace {
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}
}  // namespace

std::string DevicePath(const std::string& port) { return port; }

std::string LastSystemError() { return SystemErrorText(LastSystemErrorCode()); }

std::vector<std::string> ListPorts() {
  // udev names every USB serial adapter under /dev/serial/by-id by its maker and serial
  // number; that name stays the same whichever ttyUSBn the kernel gives the adapter.
  std::vector<std::string> ports;
  for (const std::string& name : Entries("/dev/serial/by-id")) {
    ports.push_back("/dev/serial/by-id/" + name);
  }
  // A tty with a `device` link in sysfs is backed by hardware (or a driver standing in
  // for it); virtual consoles and pseudo-terminals have none (Documentation/ABI of sysfs).
  for (const std::string& name : Entries("/sys/class/tty")) {
    struct stat info {};
    const std::string device = "/sys/class/tty/" + name + "/device/driver";
    if (::stat(device.c_str(), &info) == 0) ports.push_back("/dev/" + name);
  }
  return ports;
}

