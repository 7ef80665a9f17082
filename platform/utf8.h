#pragma once
// Paths and command-line arguments are UTF-8 inside every program here, on Windows as
// on Linux. The one place they cross into the system is this pair of files
// (utf8_posix.cpp, utf8_win32.cpp, chosen by the build): on Windows the ANSI ("A")
// calls and the C library's argv carry text in the system's code page, where a Greek,
// Chinese or emoji name has no place and becomes '?', so the Windows half uses the
// wide calls instead and converts there.
#include <cstdio>
#include <string>
#include <vector>

// std::fopen for a UTF-8 path.
std::FILE* OpenFile(const std::string& path, const char* mode);
// std::remove for a UTF-8 path.
bool RemoveFile(const std::string& path);
// Moves a file over another, replacing it in one step: rename(2), which replaces `to`
// atomically; on Windows MoveFileEx, which replaces only when told to
// (MOVEFILE_REPLACE_EXISTING, its Microsoft Learn page), where rename() would refuse.
bool MoveIntoPlace(const std::string& from, const std::string& to);

// The program's arguments as UTF-8: argv as it came on POSIX systems; on Windows taken
// again from the wide command line. Used once, at the top of main:
//   Utf8Arguments arguments(argc, argv);
//   argc = arguments.Count();
//   argv = arguments.Values();
class Utf8Arguments {
 public:
  Utf8Arguments(int argc, char** argv);
  Utf8Arguments(const Utf8Arguments&) = delete;
  Utf8Arguments& operator=(const Utf8Arguments&) = delete;

  int Count() const { return static_cast<int>(values.size()) - 1; }
  // argv's form, ending in a null pointer; getopt may reorder the pointers.
  char** Values() { return values.data(); }

 private:
  std::vector<std::string> texts;
  std::vector<char*> values;
};
