#pragma once
// .vtl configuration files: exactly the seven record bytes, byte 0 first, nothing
// else. The byte rules are here and in unit_config; the file access is per platform
// (config_file_posix.cpp, config_file_win32.cpp).
#include <string>

#include "config/unit_config.h"

enum class ConfigFileError {
  kNone,
  kOpenFailed,    // the file could not be opened for reading
  kWrongSize,     // it is not exactly seven bytes long
  kReadFailed,    // it was opened but its bytes could not be read
  kCreateFailed,  // the file (or its temporary twin) could not be created
  kWriteFailed,   // the bytes could not be written or could not replace the old file
};

// The text for the user. A read that fails after the open is reported as a load that
// could not open the file, a failed write as a save that could not create it: the user
// learns the operation failed and that nothing was changed.
inline const char* ConfigFileMessage(ConfigFileError error) {
  switch (error) {
    case ConfigFileError::kNone: return "";
    case ConfigFileError::kOpenFailed:
    case ConfigFileError::kReadFailed: return "Could not open config file";
    case ConfigFileError::kWrongSize: return "Config file is wrong size";
    case ConfigFileError::kCreateFailed:
    case ConfigFileError::kWriteFailed: return "Failed to create/open config file";
  }
  return "";
}

// Why the file at path is the wrong size, for the command-line programs' messages:
// "it is 3 bytes; a .vtl file holds exactly 7 bytes" (without its size where that
// cannot be read).
std::string WrongSizeReason(const char* path);

// Reads the file into *config. On any failure *config is left as it was. Paths here
// are UTF-8 on every platform (platform/utf8.h).
ConfigFileError LoadConfigFile(const char* path, UnitConfig* config);

// Writes the record to the file. The bytes go to a temporary file in the same folder
// first, which then replaces the old file, so a failed save leaves the previous file
// as it was. When the old file cannot be replaced because another program has it open
// (and lets others write it), the seven bytes are written over it in place instead.
ConfigFileError SaveConfigFile(const char* path, const UnitConfig& config);

// The file operations a save is made of, one implementation per platform, so that the
// order of the steps and what each failure means are decided once (config_file.cpp)
// and can be tried with operations that fail on purpose.
class SaveOperations {
 public:
  enum class Replace { kDone, kTargetInUse, kFailed };
  virtual ~SaveOperations() = default;
  // Creates a new file beside `path`, writes the bytes and flushes them. On failure it
  // removes what it made and returns kCreateFailed or kWriteFailed.
  virtual ConfigFileError WriteTemporary(const char* path, const uint8_t* bytes,
                                         std::string* temporary) = 0;
  // Puts the temporary file in place of `path` in one step.
  virtual Replace MoveOver(const std::string& temporary, const char* path) = 0;
  // Opens the existing `path` for writing, writes the bytes, cuts it to their length
  // and flushes it.
  virtual bool WriteInPlace(const char* path, const uint8_t* bytes) = 0;
  virtual void Remove(const std::string& temporary) = 0;
};

// The save with the given operations: SaveConfigFile is this with the platform's.
ConfigFileError SaveConfigFileWith(SaveOperations& operations, const char* path,
                                   const UnitConfig& config);
