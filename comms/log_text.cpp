#include "comms/log_text.h"

#include <cstdio>

std::string FormatLogText(const char* format, va_list args) {
  char buffer[kMaxLogText + 1];
  const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (written < 0) return std::string();
  return std::string(buffer);  // vsnprintf has cut it at kMaxLogText
}

std::string FrameLogText(const char* prefix, const uint8_t* frame, unsigned length) {
  std::string text(prefix);
  text.append(reinterpret_cast<const char*>(frame), length);
  if (text.size() > kMaxLogText) text.resize(kMaxLogText);
  return text;
}

std::string PrintableLogText(const std::string& text) {
  std::string printable;
  printable.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u <= 0x7E) printable += c;
  }
  return printable;
}

std::string DroppedFramesText(uint32_t count) {
  return std::to_string(count) + (count == 1 ? " frame" : " frames") +
         " dropped: the line is faster than the window";
}

std::string BoxLine(const std::string& time, const std::string& text) {
  return time + '\t' + text + "\r\n";
}

std::string FileLine(const std::string& date, const std::string& boxLine) {
  return date + '\t' + boxLine;
}

namespace {
// Appends to `ends` the position just past each CR LF of `text`, offset by `base`.
void CollectLineEnds(const std::string& text, size_t base, std::vector<size_t>* ends) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
    ends->push_back(base + at + 2);
  }
}
}  // namespace

unsigned BoxLineCount(const std::string& boxText) {
  std::vector<size_t> ends;
  CollectLineEnds(boxText, 0, &ends);
  return static_cast<unsigned>(ends.size() + 1);
}

size_t TrimmedPrefix(const std::string& boxText, const std::vector<std::string>& lines) {
  std::string joined = boxText;
  for (const std::string& line : lines) joined += line;
  std::vector<size_t> ends;
  CollectLineEnds(joined, 0, &ends);
  // Before line k goes in, the box holds joined[cut, length): its line ends are
  // ends[first, available).
  size_t cut = 0, first = 0, available = 0, length = boxText.size();
  for (const std::string& line : lines) {
    while (available < ends.size() && ends[available] <= length) ++available;
    if (available - first + 1 >= kTrimAtLines) {
      first += kTrimmedLines;
      cut = ends[first - 1];
    }
    length += line.size();
  }
  return cut;
}

size_t WholeLinesWritten(const std::vector<std::string>& lines, size_t written,
                         size_t* keptBytes) {
  size_t whole = 0, kept = 0;
  while (whole < lines.size() && kept + lines[whole].size() <= written) {
    kept += lines[whole].size();
    ++whole;
  }
  *keptBytes = kept;
  return whole;
}

std::vector<std::string> LogFileNotices::AfterWrite(size_t count, size_t written,
                                                    const std::string& reason) {
  std::vector<std::string> notices;
  if (failing && written > 0) {
    notices.push_back(std::string(kLogFileName) + " written again (" + std::to_string(missing) +
                      (missing == 1 ? " line missing)" : " lines missing)"));
    failing = false;
    missing = 0;
  }
  if (written < count) {
    if (!failing) {
      std::string notice = std::string(kLogFileName) + " not written: " + reason;
      if (notice.size() > kMaxLogText) notice.resize(kMaxLogText);
      notices.push_back(notice);
      failing = true;
    }
    missing += count - written;
  }
  return notices;
}
