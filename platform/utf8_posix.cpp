// Paths and arguments on POSIX systems: the system takes bytes, so UTF-8 passes as it is.
#include "platform/utf8.h"

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool RemoveFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

bool MoveIntoPlace(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

Utf8Arguments::Utf8Arguments(int argc, char** argv) : values(argv, argv + argc) {
  values.push_back(nullptr);
}
