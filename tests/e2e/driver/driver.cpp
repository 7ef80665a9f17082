// vtl-driver.exe: works the running tool from outside, as a user would, for the
// end-to-end tests and ./run.sh. It reads one command per line on stdin and answers
// each with one line on stdout: "ok" and the result, or "error" and the reason.
//
// Windows are addressed as targets:
//   sheet           the property sheet (found by find-sheet)
//   0, 1, ...       a page of the sheet, by index (an error until the page exists)
//   anything else   a top-level window with that caption (a dialog, a message box)
// Controls are addressed by their ID within the target. Arguments with spaces are
// written in double quotes. Paths and texts are UTF-8; texts in answers have \,
// newline and carriage return escaped as \\, \n and \r.
//
// Commands:
//   find-sheet [caption] [timeout-ms]   wait for the sheet; answers its handle
//   handles                             the tool's process: its open handle count
//   memory                              the tool's process: working set, peak working
//                                       set and private bytes, in bytes
//   timed <command> [arguments...]      runs the command; answers the microseconds
//                                       it took, then its own answer
//   hold <path> <none|read|read-write> [reader]
//                                       open a file (made if missing) for reading and
//                                       writing (only reading with "reader"), sharing
//                                       nothing, reading, or reading and writing with
//                                       others, and keep it open until release
//   release                             close the held file
//   caption <target>                    the window's own text
//   tabs                                the tab labels, separated by |
//   cursel                              index of the selected page
//   page <n>                            select page n, as clicking its tab does
//   page-created <n>                    1 when page n has a window yet, else 0
//   text <target> <id>                  a control's text
//   set-text <target> <id> <text>       set a control's text
//   click <target> <id>                 click a button; "ok pending" when it opened
//                                       something modal that has not returned yet
//   check-state <target> <id>           0, 1 or 2 (unchecked, checked, indeterminate)
//   enabled|visible <target> <id>       1 or 0
//   combo-select <target> <id> <index>  choose an entry, as the user does
//   combo-text <target> <id>            the shown entry
//   combo-items <target> <id>           all entries, separated by |
//   children <target>                   the direct children: id:class:visible:text;...
//   focus <target> <id>                 give a control the keyboard focus
//   key <name>                          press a key (F1, ESC, ENTER, TAB, SPACE) in
//                                       the foreground window
//   wait-window <caption> <timeout-ms>  wait for a visible window; answers its message
//                                       text (message boxes) and icon:
//                                       "ok <text>|icon=<information|error|warning|
//                                       question|none|unknown>"
//   wait-gone <caption> <timeout-ms>    wait until no window has that caption
//   press <caption> <button-text>       press a button of a dialog by its text
//   wait-text <target> <id> <substring> <timeout-ms>
//   rect <target> [id]                  window rectangle: left top right bottom
//   screen                              screen width and height, then the work area
//   close                               close the sheet as its close box does
//   wait-exit <timeout-ms>              wait for the tool to end; answers its exit code
//   click-with-ctrl <target> <id>       click a button while the Ctrl key is held down
//   owner <target>                      who owns a window: sheet, page <n>, none or other
//   file-dialog <caption> <path> <timeout-ms>
//                                       wait for a common file dialog, type the path
//                                       as its file name and confirm; every prompt it
//                                       raises is answered Yes; answers the prompts'
//                                       texts, separated by |
//   sleep <ms>
//   quit
#include <windows.h>
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/wide_text.h"

namespace {

HWND sheet = nullptr;
HANDLE toolProcess = nullptr;
HANDLE heldFile = INVALID_HANDLE_VALUE;

struct Failure {
  std::string reason;
};

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      ++i;
      while (i < line.size() && line[i] != '"') {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        word += line[i++];
      }
      ++i;
    } else {
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) word += line[i++];
    }
    words.push_back(word);
  }
  return words;
}

long Number(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0') throw Failure{"not a number: " + text};
  return value;
}

const std::string& Arg(const std::vector<std::string>& words, size_t index) {
  if (index >= words.size()) throw Failure{"missing argument"};
  return words[index];
}

// A window's text as UTF-8: taken wide, so that a path outside the ANSI code page in
// a message box reads as it is shown.
std::string WindowText(HWND window) {
  wchar_t text[4096] = L"";
  DWORD_PTR length = 0;
  // WM_GETTEXT to another process is carried across by the system.
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text),
                           SMTO_ABORTIFHUNG, 2000, &length))
    throw Failure{"window does not answer"};
  return Narrow(std::wstring(text, length));
}

// A visible top-level window with this caption. The enumeration callbacks here are
// CALLBACK (stdcall), as the system calls them; only the 32-bit build tells the two apart.
HWND FindTopLevel(const std::string& caption) {
  struct Search {
    const std::string* caption;
    HWND found;
  } search{&caption, nullptr};
  EnumWindows(
      [](HWND window, LPARAM lParam) CALLBACK -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        char text[512];
        if (!IsWindowVisible(window)) return TRUE;
        GetWindowTextA(window, text, sizeof text);
        if (*s->caption != text) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The handles a process holds, from the system's list of every handle: Wine answers
// GetProcessHandleCount for another process with 0, but keeps this list.
DWORD HandlesInSystemList(DWORD processId) {
  struct Entry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
  };
  struct List {
    ULONG count;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  const ULONG kSystemHandleInformation = 16;
  const LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<char> buffer(1 << 16);
  LONG status;
  ULONG needed = 0;
  while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                         &needed)) == kLengthMismatch)
    buffer.resize(buffer.size() * 2);
  if (status != 0) return 0;
  const auto* list = reinterpret_cast<const List*>(buffer.data());
  DWORD count = 0;
  for (ULONG i = 0; i < list->count; ++i) count += list->entries[i].ownerPid == processId;
  return count;
}

HWND Sheet() {
  if (!sheet || !IsWindow(sheet)) throw Failure{"no sheet (find-sheet first)"};
  return sheet;
}

HWND Page(long index) {
  const HWND page = reinterpret_cast<HWND>(SendMessageA(Sheet(), PSM_INDEXTOHWND, index, 0));
  if (!page) throw Failure{"page " + std::to_string(index) + " has no window"};
  return page;
}

HWND Target(const std::string& name) {
  if (name == "sheet") return Sheet();
  if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0]))) return Page(Number(name));
  const HWND window = FindTopLevel(name);
  if (!window) throw Failure{"no window \"" + name + "\""};
  return window;
}

HWND Control(const std::string& target, const std::string& id) {
  const HWND control = GetDlgItem(Target(target), static_cast<int>(Number(id)));
  if (!control) throw Failure{"no control " + id + " in " + target};
  return control;
}

// Reads the tab labels out of the tool's memory: TCM_GETITEM carries a pointer, which
// the system does not translate between processes.
std::string Tabs() {
  const HWND tabs = reinterpret_cast<HWND>(SendMessageA(Sheet(), PSM_GETTABCONTROL, 0, 0));
  if (!tabs) throw Failure{"no tab control"};
  DWORD processId = 0;
  GetWindowThreadProcessId(tabs, &processId);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
  if (!process) throw Failure{"cannot open the tool's process"};
  const SIZE_T textBytes = 256;
  auto* remote = static_cast<char*>(
      VirtualAllocEx(process, nullptr, sizeof(TCITEMA) + textBytes, MEM_COMMIT, PAGE_READWRITE));
  std::string labels;
  const int count = static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
  for (int i = 0; remote && i < count; ++i) {
    TCITEMA item = {};
    item.mask = TCIF_TEXT;
    item.pszText = remote + sizeof(TCITEMA);
    item.cchTextMax = textBytes;
    WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
    SendMessageA(tabs, TCM_GETITEMA, i, reinterpret_cast<LPARAM>(remote));
    char text[textBytes] = "";
    ReadProcessMemory(process, remote + sizeof(TCITEMA), text, textBytes - 1, nullptr);
    if (i) labels += '|';
    labels += text;
  }
  if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  if (!remote) throw Failure{"cannot reach the tool's memory"};
  return labels;
}

// Which standard icon a message box shows: its icon control (ID 0x440, as the system
// makes message boxes) is taken off the screen and compared with each standard icon
// drawn here on the same background.
std::string MessageBoxIcon(HWND box) {
  const HWND iconControl = GetDlgItem(box, 0x440);
  if (!iconControl || !IsWindowVisible(iconControl)) return "none";
  // Wine keeps the icon control of a box without an icon, showing no icon.
  if (!SendMessageA(iconControl, STM_GETICON, 0, 0)) return "none";
  RECT r;
  GetWindowRect(iconControl, &r);
  const int width = GetSystemMetrics(SM_CXICON), height = GetSystemMetrics(SM_CYICON);
  HDC screen = GetDC(nullptr);
  HDC shown = CreateCompatibleDC(screen), drawn = CreateCompatibleDC(screen);
  HBITMAP shownBits = CreateCompatibleBitmap(screen, width, height);
  HBITMAP drawnBits = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ oldShown = SelectObject(shown, shownBits), oldDrawn = SelectObject(drawn, drawnBits);
  BitBlt(shown, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  const COLORREF background = GetPixel(shown, 0, 0);  // icons leave their corners clear
  struct Candidate {
    const char* name;
    LPCSTR id;
  } const candidates[] = {{"information", IDI_INFORMATION},
                          {"error", IDI_ERROR},
                          {"warning", IDI_WARNING},
                          {"question", IDI_QUESTION}};
  std::string best = "unknown";
  int bestMismatches = width * height / 10;  // more than a tenth off is no match
  for (const Candidate& c : candidates) {
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, width, height};
    FillRect(drawn, &all, brush);
    DeleteObject(brush);
    DrawIconEx(drawn, 0, 0, LoadIconA(nullptr, c.id), width, height, 0, nullptr, DI_NORMAL);
    int mismatches = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) mismatches += GetPixel(shown, x, y) != GetPixel(drawn, x, y);
    if (mismatches < bestMismatches) {
      bestMismatches = mismatches;
      best = c.name;
    }
  }
  SelectObject(shown, oldShown);
  SelectObject(drawn, oldDrawn);
  DeleteObject(shownBits);
  DeleteObject(drawnBits);
  DeleteDC(shown);
  DeleteDC(drawn);
  ReleaseDC(nullptr, screen);
  return best;
}

HWND FindButtonByText(HWND dialog, const std::string& text) {
  struct Search {
    const std::string* text;
    HWND found;
  } search{&text, nullptr};
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM lParam) CALLBACK -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        char buffer[256];
        GetWindowTextA(child, buffer, sizeof buffer);
        std::string shown = buffer;
        // "&OK" and "OK" are the same button to the user.
        std::string plain;
        for (char c : shown)
          if (c != '&') plain += c;
        if (plain != *s->text) return TRUE;
        s->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void PressKey(WORD key) {
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, input, sizeof(INPUT));
}

WORD KeyCode(const std::string& name) {
  if (name == "F1") return VK_F1;
  if (name == "ESC") return VK_ESCAPE;
  if (name == "ENTER") return VK_RETURN;
  if (name == "TAB") return VK_TAB;
  if (name == "SPACE") return VK_SPACE;
  throw Failure{"unknown key " + name};
}

template <typename Check>
bool WaitFor(long timeoutMs, Check check) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (check()) return true;
    if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) return false;
    Sleep(20);
  }
}

void SendKey(WORD key, bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  SendInput(1, &input, sizeof(INPUT));
}

void SetControlKey(bool down) {
  BYTE state[256];
  GetKeyboardState(state);
  state[VK_CONTROL] = state[VK_LCONTROL] = down ? 0x80 : 0;
  SetKeyboardState(state);
}

// A visible top-level window owned by `owner`, such as a message box it raised.
HWND OwnedWindow(HWND owner) {
  struct Search {
    HWND owner;
    HWND found;
  } search{owner, nullptr};
  EnumWindows(
      [](HWND window, LPARAM lParam) CALLBACK -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != s->owner) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Types the path into a common file dialog and confirms it, answering Yes to each
// prompt (create a new file, replace an existing one) until the dialog has gone.
std::string FillFileDialog(const std::string& caption, const std::string& path, long timeoutMs) {
  HWND dialog = nullptr;
  if (!WaitFor(timeoutMs, [&] { return (dialog = FindTopLevel(caption)) != nullptr; }))
    throw Failure{"no window \"" + caption + "\""};
  // The file name box: an edit in the older dialog (edt1), a combo box with an edit
  // in the explorer-style one (cmb13).
  HWND name = GetDlgItem(dialog, 0x47c);
  if (!name) name = GetDlgItem(dialog, 0x480);
  if (!name) throw Failure{"no file name box in \"" + caption + "\""};
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Widen(path).c_str()));
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  std::string prompts;
  const DWORD start = GetTickCount();
  while (IsWindow(dialog) && IsWindowVisible(dialog)) {
    if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs))
      throw Failure{"file dialog still open; prompts: " + prompts};
    if (HWND prompt = OwnedWindow(dialog)) {
      Sleep(100);
      std::string text;
      if (HWND message = GetDlgItem(prompt, 0xFFFF)) text = WindowText(message);
      if (!prompts.empty()) prompts += '|';
      prompts += text;
      HWND yes = GetDlgItem(prompt, IDYES);
      if (!yes) throw Failure{"prompt without Yes: " + text};
      PostMessageA(prompt, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), reinterpret_cast<LPARAM>(yes));
      WaitFor(timeoutMs, [&] { return !IsWindow(prompt) || !IsWindowVisible(prompt); });
      continue;
    }
    Sleep(20);
  }
  return prompts;
}

std::string RectText(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  char text[64];
  std::snprintf(text, sizeof text, "%ld %ld %ld %ld", r.left, r.top, r.right, r.bottom);
  return text;
}

// Runs one command; returns the text after "ok".
std::string Run(const std::vector<std::string>& w) {
  const std::string& command = w[0];
  if (command == "find-sheet") {
    const std::string caption = w.size() > 1 ? w[1] : "Vantrel (K4 to ZVL)";
    const long timeout = w.size() > 2 ? Number(w[2]) : 10000;
    if (!WaitFor(timeout, [&] { return (sheet = FindTopLevel(caption)) != nullptr; }))
      throw Failure{"no sheet"};
    DWORD processId = 0;
    GetWindowThreadProcessId(sheet, &processId);
    if (toolProcess) CloseHandle(toolProcess);
    toolProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(sheet));
    return text;
  }
  if (command == "handles" || command == "memory") {
    if (!sheet) throw Failure{"no tool process (find-sheet first)"};
    DWORD processId = 0;
    GetWindowThreadProcessId(sheet, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!process) throw Failure{"cannot open the tool's process"};
    char text[96] = "";
    DWORD handles = 0;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    const bool got =
        command == "handles"
            ? GetProcessHandleCount(process, &handles) != 0
            : K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                      sizeof counters) != 0;
    CloseHandle(process);
    if (!got) throw Failure{"the system gave no figure"};
    if (command == "handles") return std::to_string(handles ? handles : HandlesInSystemList(processId));
    std::snprintf(text, sizeof text, "%llu %llu %llu",
                  static_cast<unsigned long long>(counters.WorkingSetSize),
                  static_cast<unsigned long long>(counters.PeakWorkingSetSize),
                  static_cast<unsigned long long>(counters.PrivateUsage));
    return text;
  }
  if (command == "hold") {
    if (heldFile != INVALID_HANDLE_VALUE) CloseHandle(heldFile);
    const std::string sharing = Arg(w, 2);
    const DWORD share = sharing == "read"         ? FILE_SHARE_READ
                        : sharing == "read-write" ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                                  : 0;
    const DWORD access = w.size() > 3 && w[3] == "reader" ? GENERIC_READ
                                                          : GENERIC_READ | GENERIC_WRITE;
    heldFile = CreateFileW(Widen(Arg(w, 1)).c_str(), access, share, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (heldFile == INVALID_HANDLE_VALUE)
      throw Failure{"cannot open " + Arg(w, 1) + ": error " + std::to_string(GetLastError())};
    return "";
  }
  if (command == "release") {
    if (heldFile != INVALID_HANDLE_VALUE) CloseHandle(heldFile);
    heldFile = INVALID_HANDLE_VALUE;
    return "";
  }
  if (command == "timed") {
    const std::vector<std::string> rest(w.begin() + 1, w.end());
    if (rest.empty()) throw Failure{"missing argument"};
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const std::string result = Run(rest);
    QueryPerformanceCounter(&end);
    const long long micros = (end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
    return std::to_string(micros) + (result.empty() ? "" : " " + result);
  }
  if (command == "caption") return Escape(WindowText(Target(Arg(w, 1))));
  if (command == "tabs") return Escape(Tabs());
  if (command == "cursel") {
    const LRESULT page = SendMessageA(Sheet(), PSM_GETCURRENTPAGEHWND, 0, 0);
    return std::to_string(SendMessageA(Sheet(), PSM_HWNDTOINDEX, page, 0));
  }
  if (command == "page") {
    SendMessageA(Sheet(), PSM_SETCURSEL, Number(Arg(w, 1)), 0);
    return "";
  }
  if (command == "page-created")
    return SendMessageA(Sheet(), PSM_INDEXTOHWND, Number(Arg(w, 1)), 0) ? "1" : "0";
  if (command == "text") return Escape(WindowText(Control(Arg(w, 1), Arg(w, 2))));
  if (command == "set-text") {
    const std::string& text = Arg(w, 3);
    SendMessageA(Control(Arg(w, 1), Arg(w, 2)), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return "";
  }
  if (command == "click") {
    DWORD_PTR result;
    // A click that opens a modal dialog or a message box returns only when that
    // closes; the caller then waits for the window instead.
    if (!SendMessageTimeoutA(Control(Arg(w, 1), Arg(w, 2)), BM_CLICK, 0, 0, SMTO_NORMAL, 500, &result))
      return "pending";
    return "";
  }
  if (command == "check-state")
    return std::to_string(SendMessageA(Control(Arg(w, 1), Arg(w, 2)), BM_GETCHECK, 0, 0));
  if (command == "enabled") return IsWindowEnabled(Control(Arg(w, 1), Arg(w, 2))) ? "1" : "0";
  if (command == "visible") return IsWindowVisible(Control(Arg(w, 1), Arg(w, 2))) ? "1" : "0";
  if (command == "combo-select") {
    const HWND combo = Control(Arg(w, 1), Arg(w, 2));
    SendMessageA(combo, CB_SETCURSEL, Number(Arg(w, 3)), 0);
    DWORD_PTR result;
    const WPARAM command = MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE);
    if (!SendMessageTimeoutA(GetParent(combo), WM_COMMAND, command, reinterpret_cast<LPARAM>(combo),
                             SMTO_NORMAL, 500, &result))
      return "pending";
    return "";
  }
  if (command == "combo-text") return Escape(WindowText(Control(Arg(w, 1), Arg(w, 2))));
  if (command == "combo-items") {
    const HWND combo = Control(Arg(w, 1), Arg(w, 2));
    const int count = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    std::string items;
    for (int i = 0; i < count; ++i) {
      char text[256] = "";
      SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
      if (i) items += '|';
      items += text;
    }
    return Escape(items);
  }
  if (command == "children") {
    std::string list;
    for (HWND child = GetWindow(Target(Arg(w, 1)), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      char className[64] = "";
      GetClassNameA(child, className, sizeof className);
      char text[256] = "";
      GetWindowTextA(child, text, sizeof text);
      if (!list.empty()) list += ';';
      list += std::to_string(GetDlgCtrlID(child)) + ":" + className + ":" +
              (IsWindowVisible(child) ? "1" : "0") + ":" + text;
    }
    return Escape(list);
  }
  if (command == "focus") {
    const HWND control = Control(Arg(w, 1), Arg(w, 2));
    const HWND top = GetAncestor(control, GA_ROOT);
    SetForegroundWindow(top);
    const DWORD theirs = GetWindowThreadProcessId(control, nullptr);
    const DWORD ours = GetCurrentThreadId();
    AttachThreadInput(ours, theirs, TRUE);
    SetFocus(control);
    AttachThreadInput(ours, theirs, FALSE);
    return "";
  }
  if (command == "key") {
    if (sheet && IsWindow(sheet) && !GetForegroundWindow()) SetForegroundWindow(sheet);
    PressKey(KeyCode(Arg(w, 1)));
    return "";
  }
  if (command == "wait-window") {
    const std::string& caption = Arg(w, 1);
    HWND window = nullptr;
    if (!WaitFor(Number(Arg(w, 2)), [&] { return (window = FindTopLevel(caption)) != nullptr; }))
      throw Failure{"no window \"" + caption + "\""};
    // The box paints its icon a little after it appears, later still on a busy machine:
    // after 200 ms for it to settle, it is looked at until one of the standard icons
    // shows (or the box has none), for at most 2 s more; an icon still seen as no
    // standard one is reported as "unknown".
    Sleep(200);
    std::string icon;
    WaitFor(2000, [&] { return (icon = MessageBoxIcon(window)) != "unknown"; });
    std::string text;
    if (HWND message = GetDlgItem(window, 0xFFFF)) text = WindowText(message);
    return Escape(text) + "|icon=" + icon;
  }
  if (command == "wait-gone") {
    const std::string& caption = Arg(w, 1);
    if (!WaitFor(Number(Arg(w, 2)), [&] { return FindTopLevel(caption) == nullptr; }))
      throw Failure{"still there: \"" + caption + "\""};
    return "";
  }
  if (command == "press") {
    const HWND dialog = Target(Arg(w, 1));
    const HWND button = FindButtonByText(dialog, Arg(w, 2));
    if (!button) throw Failure{"no button \"" + Arg(w, 2) + "\""};
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    return "";
  }
  if (command == "wait-text") {
    const HWND control = Control(Arg(w, 1), Arg(w, 2));
    const std::string& wanted = Arg(w, 3);
    std::string last;
    if (!WaitFor(Number(Arg(w, 4)), [&] { return (last = WindowText(control)).find(wanted) != std::string::npos; }))
      throw Failure{"text is \"" + Escape(last) + "\""};
    return Escape(last);
  }
  if (command == "rect") {
    if (w.size() > 2) return RectText(Control(w[1], w[2]));
    return RectText(Target(Arg(w, 1)));
  }
  if (command == "screen") {
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    char text[96];
    std::snprintf(text, sizeof text, "%d %d %ld %ld %ld %ld", GetSystemMetrics(SM_CXSCREEN),
                  GetSystemMetrics(SM_CYSCREEN), work.left, work.top, work.right, work.bottom);
    return text;
  }
  if (command == "close") {
    PostMessageA(Sheet(), WM_SYSCOMMAND, SC_CLOSE, 0);
    return "";
  }
  if (command == "wait-exit") {
    if (!toolProcess) throw Failure{"no tool process (find-sheet first)"};
    if (WaitForSingleObject(toolProcess, static_cast<DWORD>(Number(Arg(w, 1)))) != WAIT_OBJECT_0)
      throw Failure{"still running"};
    DWORD code = 0;
    GetExitCodeProcess(toolProcess, &code);
    return std::to_string(static_cast<int>(code));
  }
  if (command == "click-with-ctrl") {
    const HWND control = Control(Arg(w, 1), Arg(w, 2));
    SetForegroundWindow(GetAncestor(control, GA_ROOT));
    // The key press alone is not enough: the click is a sent message, which overtakes
    // the queued key, and Wine may not yet have passed the key on to the tool's
    // thread. So the key is also set in the input state that our thread shares with
    // the tool's for the length of the click.
    SendKey(VK_CONTROL, true);
    const DWORD ours = GetCurrentThreadId();
    const DWORD theirs = GetWindowThreadProcessId(control, nullptr);
    const bool attached = AttachThreadInput(ours, theirs, TRUE) != 0;
    SetControlKey(true);
    DWORD_PTR result;
    const bool returned =
        SendMessageTimeoutA(control, BM_CLICK, 0, 0, SMTO_NORMAL, 500, &result) != 0;
    SetControlKey(false);
    if (attached) AttachThreadInput(ours, theirs, FALSE);
    SendKey(VK_CONTROL, false);
    return returned ? "" : "pending";
  }
  if (command == "owner") {
    const HWND owner = GetWindow(Target(Arg(w, 1)), GW_OWNER);
    if (!owner) return "none";
    if (owner == sheet) return "sheet";
    for (int i = 0; sheet && i < 8; ++i) {
      if (reinterpret_cast<HWND>(SendMessageA(sheet, PSM_INDEXTOHWND, i, 0)) == owner)
        return "page " + std::to_string(i);
    }
    return "other";
  }
  if (command == "file-dialog") return Escape(FillFileDialog(Arg(w, 1), Arg(w, 2), Number(Arg(w, 3))));
  if (command == "sleep") {
    Sleep(static_cast<DWORD>(Number(Arg(w, 1))));
    return "";
  }
  throw Failure{"unknown command " + command};
}

}  // namespace

int main() {
  // Answers end in a bare line feed, as the Unix side that reads them expects.
  _setmode(_fileno(stdout), _O_BINARY);
  char line[4096];
  while (std::fgets(line, sizeof line, stdin)) {
    const std::vector<std::string> words = Split(line);
    if (words.empty()) continue;
    if (words[0] == "quit") break;
    try {
      const std::string result = Run(words);
      if (result.empty()) {
        std::puts("ok");
      } else {
        std::printf("ok %s\n", result.c_str());
      }
    } catch (const Failure& failure) {
      std::printf("error %s\n", failure.reason.c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}
