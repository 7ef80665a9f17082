// The message log's text rules against any input: logged texts are at most 255
// printable characters, and trimming a batch of lines at once leaves exactly the text
// that adding them one at a time to the box (and trimming before each) would leave,
// whatever the box held before, text the user typed or pasted included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "comms/log_text.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}

// What the edit control does, one line at a time: count the lines (CR LFs + 1); at 60
// or more, delete up to the start of line 10; then append.
std::string OneByOne(std::string box, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    unsigned count = 1;
    for (size_t at = box.find("\r\n"); at != std::string::npos; at = box.find("\r\n", at + 2)) ++count;
    if (count >= kTrimAtLines) {
      size_t start = 0;
      for (unsigned k = 0; k < kTrimmedLines; ++k) start = box.find("\r\n", start) + 2;
      box.erase(0, start);
    }
    box += line;
  }
  return box;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // data[0]: how many lines to add; data[1]: how much of the rest is the box's text.
  const size_t lineCount = data[0] % 128;
  const size_t boxBytes = (size - 2) * data[1] / 255;
  const std::string box(reinterpret_cast<const char*>(data + 2), boxBytes);
  const uint8_t* rest = data + 2 + boxBytes;
  const size_t restSize = size - 2 - boxBytes;

  // Lines as the log makes them, from pieces of the rest cut at 0xFF bytes.
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t i = 0; i < lineCount; ++i) {
    size_t end = at;
    while (end < restSize && rest[end] != 0xFF) ++end;
    const std::string text = FrameLogText("Rx: ", rest + at, static_cast<unsigned>(end - at));
    Check(text.size() <= kMaxLogText);
    const std::string printable = PrintableLogText(text);
    for (char c : printable) Check(c >= 0x20 && c <= 0x7E);
    lines.push_back(BoxLine(i % 3 ? "12:00:00" : "", printable));
    at = end < restSize ? end + 1 : end;
  }

  std::string joined = box;
  for (const std::string& line : lines) joined += line;
  const size_t cut = TrimmedPrefix(box, lines);
  Check(cut <= joined.size());
  Check(joined.substr(cut) == OneByOne(box, lines));
  return 0;
}
