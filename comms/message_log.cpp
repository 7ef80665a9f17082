#include "comms/message_log.h"

#include <cstdarg>

#include "app/resource.h"
#include "comms/log_text.h"
#include "link/frame_codec.h"

namespace {
const char kLogFileName[] = "ZVL-Log.txt";

// The user's own time and short date formats, now.
std::string LocalTime() {
  char buffer[64];
  const int n = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer) : std::string();
}
std::string LocalDate() {
  char buffer[64];
  const int n = GetDateFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer) : std::string();
}
}  // namespace

void MessageLog::Append(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatLogText(format, args);
  va_end(args);
  Add(text);
}

void MessageLog::LogReceived(const uint8_t* frame, uint8_t length) {
  if (frame == nullptr || IsAckOrNak(frame, length)) return;
  Add(FrameLogText("Rx: ", frame, length));
}

void MessageLog::LogSent(const uint8_t* frame, uint8_t length) {
  // First, before any window is looked at: the reader thread sends ACK and NAK.
  if (frame == nullptr || IsAckOrNak(frame, length)) return;
  Add(FrameLogText("Tx: ", frame, length));
}

void MessageLog::Add(const std::string& text) {
  if (text.empty() || pageWindow == nullptr) return;
  if (GetWindowThreadProcessId(pageWindow, nullptr) != GetCurrentThreadId()) return;
  pending.push_back({LocalDate(), BoxLine(LocalTime(), PrintableLogText(text))});
  if (batchDepth == 0) Flush();
}

void MessageLog::EndBatch() {
  if (batchDepth > 0 && --batchDepth == 0) Flush();
}

void MessageLog::Flush() {
  if (pending.empty()) return;
  std::vector<Line> lines;
  lines.swap(pending);
  WriteLogBox(lines);
  WriteLogFile(lines);
}

void MessageLog::WriteLogBox(const std::vector<Line>& lines) {
  const HWND box = GetDlgItem(pageWindow, IDC_LOG_BOX);
  if (box == nullptr) return;
  const int oldLength = GetWindowTextLengthA(box);
  std::string old(static_cast<size_t>(oldLength) + 1, '\0');
  old.resize(static_cast<size_t>(GetWindowTextA(box, &old[0], oldLength + 1)));
  std::vector<std::string> boxLines;
  std::string added;
  for (const Line& line : lines) {
    boxLines.push_back(line.boxLine);
    added += line.boxLine;
  }
  // The oldest lines go 10 at a time once 60 are counted, as if added one by one.
  const size_t cut = TrimmedPrefix(old, boxLines);
  if (cut <= old.size()) {
    if (cut > 0) {
      SendMessageA(box, EM_SETSEL, 0, static_cast<LPARAM>(cut));
      SendMessageA(box, WM_CLEAR, 0, 0);
    }
    // At the real end, not a fixed large index: a box holding more than that (text
    // pasted by the user) must not get lines in its middle.
    const WPARAM end = static_cast<WPARAM>(GetWindowTextLengthA(box));
    SendMessageA(box, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
  } else {
    // The batch alone overflows the box: only its own newest lines stay.
    const std::string kept = added.substr(cut - old.size());
    SetWindowTextA(box, kept.c_str());
  }
  const WPARAM end = static_cast<WPARAM>(GetWindowTextLengthA(box));
  SendMessageA(box, EM_SETSEL, end, static_cast<LPARAM>(end));
  SendMessageA(box, EM_SCROLLCARET, 0, 0);
}

void MessageLog::WriteLogFile(const std::vector<Line>& lines) {
  if (IsDlgButtonChecked(pageWindow, IDC_LOG_TO_FILE) != BST_CHECKED) return;
  // Opened and closed around each update, so other programs may read or move it
  // between lines; a file that cannot be opened leaves the lines in the box only.
  const HANDLE file = CreateFileA(kLogFileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string text;
  for (const Line& line : lines) text += FileLine(line.date, line.boxLine);
  SetFilePointer(file, 0, nullptr, FILE_END);
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}
