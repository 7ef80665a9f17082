#pragma once
// The Windows side of utf8.h: UTF-8 to and from the UTF-16 of the wide ("W") calls,
// for the Win32 files that call them. Implemented in utf8_win32.cpp.
#include <string>

// UTF-8 to UTF-16 and back. Both are exact for any text that is valid in the other
// form; an invalid sequence becomes U+FFFD (MultiByteToWideChar's and
// WideCharToMultiByte's documentation).
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// The absolute form of a UTF-8 path with the "\\?\" prefix ("\\?\UNC\" for a share),
// which lifts the MAX_PATH limit of the file calls ("Maximum Path Length Limitation"
// in Microsoft's "Naming Files, Paths, and Namespaces", on every Windows since 2000).
// The prefix also turns off the system's tidying of the name, so the name is made
// absolute and tidied here first (GetFullPathNameW: "." and "..", "/", trailing dots
// and spaces). A device ("\\.\COM1", "NUL") or an already prefixed path is returned as
// it is. Empty when the path is empty or cannot be made absolute.
std::wstring LongPath(const std::string& utf8);
