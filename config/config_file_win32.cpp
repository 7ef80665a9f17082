// .vtl file access on Windows.
//
// Paths come in as UTF-8 and reach the system through the wide calls in their long
// form (LongPath, platform/wide_text.h), so a name outside the ANSI code page opens,
// and a file whose path nearly fills MAX_PATH still has room beside it for the
// temporary file of a save.
//
// A save never opens the user's file with CREATE_ALWAYS directly: that truncates the
// old file before the new bytes are in, so a failed write would lose it. The bytes go
// to a temporary file in the same folder, which MoveFileExW then puts in its place;
// only a target held open by another program is written in place (config_file.cpp).
#include <windows.h>

#include <string>

#include "config/config_file.h"
#include "platform/wide_text.h"

ConfigFileError LoadConfigFile(const char* path, UnitConfig* config) {
  if (path == nullptr || config == nullptr) return ConfigFileError::kOpenFailed;
  HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
// "vtlXXXX.tmp", the form of GetTempFileNameW's names, with the low 16 bits of n.
// GetTempFileNameW itself takes no folder longer than MAX_PATH - 14 characters (its
// documentation), so the name is made here.
std::wstring TemporaryName(DWORD n) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring name = L"vtl";
  for (int shift = 12; shift >= 0; shift -= 4) name += kDigits[(n >> shift) & 15];
  return name + L".tmp";
}

class Win32SaveOperations : public SaveOperations {
 public:
  ConfigFileError WriteTemporary(const char* path, const uint8_t* bytes,
                                 std::string* temporary) override {
    // The target's folder: its absolute path up to the last backslash.
    const std::wstring target = LongPath(path);
    const size_t slash = target.rfind(L'\\');
    if (slash == std::wstring::npos) return ConfigFileError::kCreateFailed;
    const std::wstring folder = target.substr(0, slash + 1);

    // A name no other file has: CREATE_NEW fails on one that exists, and the next is
    // tried, as GetTempFileNameW does.
    const DWORD first = GetTickCount() ^ GetCurrentProcessId();
    std::wstring name;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (DWORD n = 0; n <= 0xFFFF && file == INVALID_HANDLE_VALUE; ++n) {
      name = folder + TemporaryName(first + n);
      file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
        return ConfigFileError::kCreateFailed;
    }
    if (file == INVALID_HANDLE_VALUE) return ConfigFileError::kCreateFailed;
    *temporary = Narrow(name);
    const bool written = WriteAndFlush(file, bytes);
    if (!(CloseHandle(file) && written)) {
      DeleteFileW(name.c_str());
      return ConfigFileError::kWriteFailed;
    }
    return ConfigFileError::kNone;
  }

  Replace MoveOver(const std::string& temporary, const char* path) override {
    const std::wstring from = LongPath(temporary), to = LongPath(path);
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return Replace::kDone;
    // A target that another program holds open without delete sharing cannot be
    // replaced: Wine 8 answers ERROR_ACCESS_DENIED (tests/win/config_file_test.cpp),
    // Windows that or ERROR_SHARING_VIOLATION (MoveFileEx's documentation). A
    // read-only target answers ERROR_ACCESS_DENIED too; the in-place open then fails
    // as well and nothing is written.
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                   error == ERROR_LOCK_VIOLATION
               ? Replace::kTargetInUse
               : Replace::kFailed;
  }

  bool WriteInPlace(const char* path, const uint8_t* bytes) override {
    // Opened as a new file would be, but never created: a file that is gone is not
    // written under its name by this path.
    HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool written = WriteAndFlush(file, bytes);
    return CloseHandle(file) && written;
  }

  void Remove(const std::string& temporary) override { DeleteFileW(LongPath(temporary).c_str()); }

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
