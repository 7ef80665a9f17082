#pragma once
// The message log's text rules, apart from the window and the file that show them.
//
// A logged text is at most 255 characters of 0x20 to 0x7E. A line in the box is
// time, tab, text, CR LF; a line in "ZVL-Log.txt" is date, tab and the box's line.
// The box keeps the newest lines only: before a line is added, a box that counts 60
// lines or more (the empty line after the last CR LF counts) loses its first 10.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

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

std::string BoxLine(const std::string& time, const std::string& text);
std::string FileLine(const std::string& date, const std::string& boxLine);

// The box's line count as the edit control gives it: one more than the CR LFs.
unsigned BoxLineCount(const std::string& boxText);

// Appending `lines` one by one to a box holding `boxText`, trimming before each as
// above, leaves the text (boxText + all lines joined) minus its first N characters;
// this returns N. So a batch of lines can go into the box in one update.
size_t TrimmedPrefix(const std::string& boxText, const std::vector<std::string>& lines);
