// The steps of a save, the same on every platform.
#include "config/config_file.h"

#include <cstdio>

#include "platform/utf8.h"

std::string WrongSizeReason(const char* path) {
  const std::string rule = "a .vtl file holds exactly " + std::to_string(kConfigBytes) + " bytes";
  long long size = -1;
  if (std::FILE* file = OpenFile(path, "rb")) {
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::fclose(file);
  }
  return size < 0 ? rule : "it is " + std::to_string(size) + " bytes; " + rule;
}

ConfigFileError SaveConfigFileWith(SaveOperations& operations, const char* path,
                                   const UnitConfig& config) {
  if (path == nullptr || *path == '\0') return ConfigFileError::kCreateFailed;
  uint8_t bytes[kConfigBytes];
  ConfigToBytes(config, bytes);

  std::string temporary;
  const ConfigFileError written = operations.WriteTemporary(path, bytes, &temporary);
  if (written != ConfigFileError::kNone) return written;

  bool saved = false;
  switch (operations.MoveOver(temporary, path)) {
    case SaveOperations::Replace::kDone:
      return ConfigFileError::kNone;
    case SaveOperations::Replace::kTargetInUse:
      // The temporary file has just shown that the disk takes the seven bytes, so
      // writing them over the old file cannot stop part-way for want of space.
      saved = operations.WriteInPlace(path, bytes);
      break;
    case SaveOperations::Replace::kFailed:
      break;
  }
  operations.Remove(temporary);
  return saved ? ConfigFileError::kNone : ConfigFileError::kWriteFailed;
}
