#pragma once
// The message log's text rules, apart from the window and the file that show them.
//
// A logged text is at most 255 characters of 0x20 to 0x7E. A line in the box is
// time, tab, text, CR LF; a line in "ZVL-Log.txt" is date, tab and the box's line.
// The box keeps the newest lines only: before a line is added, a box that counts 60
// lines or more (the empty line after the last CR LF counts) loses its first 10.
// "ZVL-Log.txt" holds whole lines only, and when lines cannot go into it the box says
// so, once, and again once they can.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// In the process's current folder.
constexpr char kLogFileName[] = "ZVL-Log.txt";
constexpr unsigned kMaxLogText = 255;
constexpr unsigned kTrimAtLines = 60;  // lines counted before a line is added
constexpr unsigned kTrimmedLines = 10;

// printf-style text cut at kMaxLogText characters.
std::string FormatLogText(const char* format, va_list args);

// The prefix ("Rx: " or "Tx: ") followed by the frame's bytes, taken literally: a "%"
// in a frame is just a "%".
std::string FrameLogText(const char* prefix, const uint8_t* frame, unsigned length);

// The text with every character outside 0x20 to 0x7E removed.
std::string PrintableLogText(const std::string& text);

// The notice for frames the hand-off to the window had to drop during a flood:
// "N frames dropped: the line is faster than the window" ("1 frame dropped: ...").
std::string DroppedFramesText(uint32_t count);

std::string BoxLine(const std::string& time, const std::string& text);
std::string FileLine(const std::string& date, const std::string& boxLine);

// The box's line count as the edit control gives it: one more than the CR LFs.
unsigned BoxLineCount(const std::string& boxText);

// Appending `lines` one by one to a box holding `boxText`, trimming before each as
// above, leaves the text (boxText + all lines joined) minus its first N characters;
// this returns N. So a batch of lines can go into the box in one update.
size_t TrimmedPrefix(const std::string& boxText, const std::vector<std::string>& lines);

// Lines go into "ZVL-Log.txt" in one write. When only `written` bytes of them (joined)
// went out, the file keeps the lines that went out whole and is cut back to the end of
// the last of them, so no line is ever torn. Returns how many lines that is and sets
// *keptBytes to their length.
size_t WholeLinesWritten(const std::vector<std::string>& lines, size_t written,
                         size_t* keptBytes);

// The box's notices about "ZVL-Log.txt": the first time lines cannot go into the file,
// "ZVL-Log.txt not written: <reason>"; nothing more until lines go in again, then
// "ZVL-Log.txt written again (N lines missing)". The notices are for the box only.
class LogFileNotices {
 public:
  // After a write of `count` lines of which the first `written` went in; `reason` is
  // the system's text for the failure when some did not. Returns the texts to add to
  // the box, oldest first.
  std::vector<std::string> AfterWrite(size_t count, size_t written, const std::string& reason);

 private:
  bool failing = false;
  size_t missing = 0;  // lines lost since failing began
};
