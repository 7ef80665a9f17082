// Linked into every shipped exe (vtl_ship in cmake/packaging.cmake): before any code of
// the program runs, DLLs are looked for in the system folder only, never in the exe's own
// folder, which is often Downloads, where a web page may have dropped a DLL under the
// name of one that the loader, the file dialogs or the shell load by name.
//
// The DLLs the exe imports are loaded before this runs: they are the system's known DLLs
// (kernel32, user32, gdi32, msvcrt, advapi32), which the loader takes from the system
// folder wherever the exe is, and comctl32, which the manifest has taken from the
// side-by-side store (Microsoft Learn, "Dynamic-link library search order"). The DLLs
// needed only later, the file dialogs' comdlg32 and the shell's shell32, are delay-loaded
// (cmake/delay-import.cmake), so they and whatever they load come after this.
#include <windows.h>

namespace {

// A TLS callback, rather than code at the top of main: the loader calls an exe's TLS
// callbacks before its entry point (Microsoft Learn, "PE Format", "TLS Callback
// Functions"), so this comes before the C run-time's start-up and the static objects'
// constructors. MinGW-w64's own callbacks are in .CRT$XLC and .CRT$XLD; the linker sorts
// the .CRT$XL* sections by name, so .CRT$XLB is called first.
void NTAPI RestrictDllSearch(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_PROCESS_ATTACH) return;
  // SetDefaultDllDirectories came with Windows 8, and with update KB2533623 to Vista and
  // 7 (Microsoft Learn, "SetDefaultDllDirectories"), so it is looked up, not imported.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Without that update the exe's folder stays in the search; the current folder at least
  // leaves it (Microsoft Learn, "SetDllDirectoryW": an empty string removes it).
  SetDllDirectoryW(L"");
}

__attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK restrictDllSearchCallback = RestrictDllSearch;

}  // namespace
