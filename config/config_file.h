#pragma once
// .vtl configuration files: exactly the seven record bytes, byte 0 first, nothing
// else. The byte rules are here and in unit_config; the file access is per platform
// (config_file_posix.cpp, config_file_win32.cpp).
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

// Reads the file into *config. On any failure *config is left as it was.
ConfigFileError LoadConfigFile(const char* path, UnitConfig* config);

// Writes the record to the file. The bytes go to a temporary file in the same folder
// first, which then replaces the old file, so a failed save leaves the previous file
// as it was.
ConfigFileError SaveConfigFile(const char* path, const UnitConfig& config);
