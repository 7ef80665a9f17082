#include "comms/message_log.h"

#include <cstdarg>

#include "app/resource.h"
#include "link/frame_codec.h"
#include "platform/system.h"

namespace {
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

// The system's text for an error ("Disk full.", "Sharing violation."), or its number.
std::string SystemReason(DWORD error) {
  const std::string reason = SystemErrorText(error);
  return reason.empty() ? "error " + std::to_string(error) : reason;
}

// Appends the lines at the end of the open file in one write; returns how many went in
// whole. A write cut short is cut back to the last whole line, so that every line in
// the file stays date, tab, time, tab, text, CR LF.
size_t AppendWholeLines(HANDLE file, const std::vector<std::string>& lines, std::string* reason) {
  LARGE_INTEGER end{}, zero{};
  if (!SetFilePointerEx(file, zero, &end, FILE_END)) {
    *reason = SystemReason(GetLastError());
    return 0;
  }
  std::string text;
  for (const std::string& line : lines) text += line;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  if (ok && written == text.size()) return lines.size();
  // A disk that fills part-way fails the call with ERROR_DISK_FULL on Windows; Wine 8
  // passes on the short count of write(2) as success instead, and fails only the next
  // call (tests/e2e/test_reliability.py, LogFileOnAFullDisk, shows it).
  *reason = SystemReason(ok ? ERROR_DISK_FULL : GetLastError());
  size_t kept = 0;
  const size_t whole = WholeLinesWritten(lines, written, &kept);
  if (kept < written || !ok) {
    LARGE_INTEGER cut{};
    cut.QuadPart = end.QuadPart + static_cast<LONGLONG>(kept);
    if (SetFilePointerEx(file, cut, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    FlushFileBuffers(file);
  }
  return whole;
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
  pending.push_back(MakeLine(text));
  if (batchDepth == 0) PutOut();
}

MessageLog::Line MessageLog::MakeLine(const std::string& text) {
  return {LocalDate(), BoxLine(LocalTime(), PrintableLogText(text))};
}

void MessageLog::EndBatch() {
  if (batchDepth > 0 && --batchDepth == 0) PutOut();
}

void MessageLog::Flush() {
  PutOut();
  if (!heldForBox.empty()) {
    std::vector<Line> lines;
    lines.swap(heldForBox);
    WriteLogBox(lines);
  }
}

void MessageLog::ReleaseBox() {
  boxHeld = false;
  Flush();
}

void MessageLog::PutOut() {
  if (pending.empty()) return;
  std::vector<Line> lines;
  lines.swap(pending);
  ToBox(lines);
  std::vector<Line> notices;
  for (const std::string& notice : WriteLogFile(lines)) notices.push_back(MakeLine(notice));
  if (!notices.empty()) ToBox(notices);
}

void MessageLog::ToBox(const std::vector<Line>& lines) {
  if (boxHeld) {
    heldForBox.insert(heldForBox.end(), lines.begin(), lines.end());
  } else {
    WriteLogBox(lines);
  }
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
  if (cut == 0) {
    // At the real end, not a fixed large index: a box holding more than that (text
    // pasted by the user) must not get lines in its middle.
    const WPARAM end = static_cast<WPARAM>(GetWindowTextLengthA(box));
    SendMessageA(box, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
  } else {
    // Trimmed and added in one change of the box's text, not a removal and an
    // insertion (nor WM_SETTEXT, which scrolls to the top first): each change redraws
    // the box's scroll bar at once, which under Wine's default theme costs more than
    // laying the kept lines out again (a 30-line batch 27 ms instead of 86; with the
    // theme off 9 ms instead of 7, timed by tests/win/comms_page_test.cpp). A batch
    // that alone overflows the box leaves only its own newest lines.
    const std::string text =
        cut <= old.size() ? old.substr(cut) + added : added.substr(cut - old.size());
    SendMessageA(box, EM_SETSEL, 0, static_cast<LPARAM>(GetWindowTextLengthA(box)));
    SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }
  const WPARAM end = static_cast<WPARAM>(GetWindowTextLengthA(box));
  SendMessageA(box, EM_SETSEL, end, static_cast<LPARAM>(end));
  SendMessageA(box, EM_SCROLLCARET, 0, 0);
}

std::vector<std::string> MessageLog::WriteLogFile(const std::vector<Line>& lines) {
  if (IsDlgButtonChecked(pageWindow, IDC_LOG_TO_FILE) != BST_CHECKED) return {};
  // Opened and closed around each update, so other programs may read or move it
  // between lines; a file that cannot be opened leaves the lines in the box only.
  const HANDLE file = CreateFileA(kLogFileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string reason;
  size_t written = 0;
  if (file == INVALID_HANDLE_VALUE) {
    reason = SystemReason(GetLastError());
  } else {
    std::vector<std::string> fileLines;
    for (const Line& line : lines) fileLines.push_back(FileLine(line.date, line.boxLine));
    written = AppendWholeLines(file, fileLines, &reason);
    CloseHandle(file);
  }
  return fileNotices.AfterWrite(lines.size(), written, reason);
}
