// Paths and arguments on Windows: UTF-8 inside, UTF-16 at the wide calls.
//
// Why wide calls and not the manifest's UTF-8 code page (activeCodePage): Windows reads
// that setting from 10 version 1903 on only (Microsoft Learn, "Use UTF-8 code pages in
// Windows apps"), and the programs run from Vista on, where every "A" call still
// takes the ANSI code page.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "platform/utf8.h"
#include "platform/wide_text.h"

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], length);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length), '\0');
  if (length > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &utf8[0], length, nullptr, nullptr);
  return utf8;
}

namespace {
bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}
}  // namespace

std::wstring LongPath(const std::string& utf8) {
  const std::wstring path = Widen(utf8);
  if (path.empty() || StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) return path;
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return std::wstring();
  full.resize(length);
  // A device name ("NUL", "COM1") comes back as "\\.\NUL".
  if (StartsWith(full, L"\\\\.\\") || StartsWith(full, L"\\\\?\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return _wfopen(LongPath(path).c_str(), Widen(mode).c_str());
}

bool RemoveFile(const std::string& path) { return DeleteFileW(LongPath(path).c_str()) != 0; }

bool MoveIntoPlace(const std::string& from, const std::string& to) {
  return MoveFileExW(LongPath(from).c_str(), LongPath(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
  // The C library's argv holds the arguments in the ANSI code page; the command line
  // itself is UTF-16, split here by the system's rules (CommandLineToArgvW).
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) texts.push_back(Narrow(wide[i]));
    LocalFree(wide);
  } else {
    texts.assign(argv, argv + argc);
  }
  for (std::string& text : texts) values.push_back(text.data());
  values.push_back(nullptr);
}
