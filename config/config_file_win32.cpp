// .vtl file access on Windows.
//
// A save never opens the user's file with CREATE_ALWAYS directly: that truncates the
// old file before the new bytes are in, so a failed write would lose it. The bytes go
// to a temporary file in the same folder, which MoveFileExA then puts in its place;
// only a target held open by another program is written in place (config_file.cpp).
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

namespace {
class Win32SaveOperations : public SaveOperations {
 public:
  ConfigFileError WriteTemporary(const char* path, const uint8_t* bytes,
                                 std::string* temporary) override {
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
    char name[MAX_PATH];
    if (GetTempFileNameA(folder, "vtl", 0, name) == 0) return ConfigFileError::kCreateFailed;
    *temporary = name;
    HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DeleteFileA(name);
      return ConfigFileError::kCreateFailed;
    }
    const bool written = WriteAndFlush(file, bytes);
    if (!(CloseHandle(file) && written)) {
      DeleteFileA(name);
      return ConfigFileError::kWriteFailed;
    }
    return ConfigFileError::kNone;
  }

  Replace MoveOver(const std::string& temporary, const char* path) override {
    if (MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return Replace::kDone;
    // A target that another program holds open without delete sharing cannot be
    // replaced: Wine 8 answers ERROR_ACCESS_DENIED (tests/win/config_file_test.cpp),
    // Windows that or ERROR_SHARING_VIOLATION (MoveFileEx's documentation). A read-only target answers ERROR_ACCESS_DENIED too;
    // the in-place open then fails as well and nothing is written.
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                   error == ERROR_LOCK_VIOLATION
               ? Replace::kTargetInUse
               : Replace::kFailed;
  }

  bool WriteInPlace(const char* path, const uint8_t* bytes) override {
    // Opened as a new file would be, but never created: a file that is gone is not
    // written under its name by this path.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = WriteAndFlush(file, bytes);
    return CloseHandle(file) && written;
  }

  void Remove(const std::string& temporary) override { DeleteFileA(temporary.c_str()); }

 private:
  // Writes the seven bytes at the start of the file, ends the file there (an old one
  // may be longer) and flushes it.
  static bool WriteAndFlush(HANDLE file, const uint8_t* bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes, kConfigBytes, &written, nullptr) && written == kConfigBytes &&
           SetEndOfFile(file) && FlushFileBuffers(file);
  }
};
}  // namespace

ConfigFileError SaveConfigFile(const char* path, const UnitConfig& config) {
  Win32SaveOperations operations;
  return SaveConfigFileWith(operations, path, config);
}
