// .vtl file access on Windows.
//
// A save never opens the user's file with CREATE_ALWAYS directly: that truncates the
// old file before the new bytes are in, so a failed write would lose it. The bytes go
// to a temporary file in the same folder, which MoveFileExA then puts in its place.
#include <windows.h>

#include <cstring>

#include "config/config_file.h"

ConfigFileError LoadConfigFile(const char* path, UnitConfig* config) {
  if (path == nullptr || config == nullptr) return ConfigFileError::kOpenFailed;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ConfigFileError::kOpenFailed;

  ConfigFileError result = ConfigFileError::kNone;
  uint8_t bytes[kConfigBytes];
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    result = ConfigFileError::kReadFailed;
  } else if (high != 0 || low != kConfigBytes) {
    result = ConfigFileError::kWrongSize;
  } else {
    DWORD got = 0;
    if (!ReadFile(file, bytes, kConfigBytes, &got, nullptr) || got != kConfigBytes) {
      result = ConfigFileError::kReadFailed;
    }
  }
  CloseHandle(file);
  if (result == ConfigFileError::kNone) *config = ConfigFromBytes(bytes);
  return result;
}

ConfigFileError SaveConfigFile(const char* path, const UnitConfig& config) {
  if (path == nullptr || *path == '\0') return ConfigFileError::kCreateFailed;

  // The folder of the target: everything up to its last separator, or "." for a
  // bare name.
  char folder[MAX_PATH];
  const char* slash = std::strrchr(path, '\\');
  const char* other = std::strrchr(path, '/');
  if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
  if (slash == nullptr) {
    std::strcpy(folder, ".");
  } else {
    const size_t length = static_cast<size_t>(slash - path) + 1;  // keeps "C:\" whole
    if (length >= sizeof folder) return ConfigFileError::kCreateFailed;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
  }

  // GetTempFileNameA creates the file with a name no other file has.
  char temporary[MAX_PATH];
  if (GetTempFileNameA(folder, "vtl", 0, temporary) == 0) return ConfigFileError::kCreateFailed;
  HANDLE file = CreateFileA(temporary, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DeleteFileA(temporary);
    return ConfigFileError::kCreateFailed;
  }

  uint8_t bytes[kConfigBytes];
  ConfigToBytes(config, bytes);
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes, kConfigBytes, &written, nullptr) &&
                  written == kConfigBytes && FlushFileBuffers(file);
  const bool closed = CloseHandle(file) != 0;
  if (!ok || !closed ||
      !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temporary);
    return ConfigFileError::kWriteFailed;
  }
  return ConfigFileError::kNone;
}
