// Any file content through the .vtl loader: only a file of exactly seven bytes is
// taken, byte for byte; every other one is refused with the record left as it was. A
// record saved over any file reads back the same.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/config_file.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}

const std::string& Path() {
  static const std::string path = [] {
    // Memory-backed when there is one: every save syncs its file.
    const char* dir = std::getenv("TMPDIR");
    if (::access("/dev/shm", W_OK) == 0) dir = "/dev/shm";
    return std::string(dir && *dir ? dir : "/tmp") + "/fuzz_config_file." +
           std::to_string(::getpid()) + ".vtl";
  }();
  return path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = Path();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  const uint8_t marker[kConfigBytes] = {1, 2, 3, 4, 5, 6, 7};
  UnitConfig config = ConfigFromBytes(marker);
  const ConfigFileError error = LoadConfigFile(path.c_str(), &config);
  if (size == kConfigBytes) {
    Check(error == ConfigFileError::kNone);
    Check(config == ConfigFromBytes(data));
  } else {
    Check(error == ConfigFileError::kWrongSize);
    Check(config == ConfigFromBytes(marker));
  }
  if (size >= kConfigBytes) {
    const UnitConfig saved = ConfigFromBytes(data + size - kConfigBytes);
    Check(SaveConfigFile(path.c_str(), saved) == ConfigFileError::kNone);
    UnitConfig back = ConfigFromBytes(marker);
    Check(LoadConfigFile(path.c_str(), &back) == ConfigFileError::kNone && back == saved);
  }
  ::unlink(path.c_str());
  return 0;
}
