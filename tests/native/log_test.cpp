#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "comms/log_text.h"

namespace {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatLogText(format, args);
  va_end(args);
  return text;
}

std::string Frame(const char* prefix, const std::string& bytes) {
  return PrintableLogText(
      FrameLogText(prefix, reinterpret_cast<const uint8_t*>(bytes.data()),
                   static_cast<unsigned>(bytes.size())));
}

TEST(LogText, OnlyPrintableCharactersAreKept) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain text", "plain text"},
      {"\nC00212345678A1\r", "C00212345678A1"},
      {"tab\there", "tabhere"},
      {std::string("nul\0byte", 8), "nulbyte"},
      {"\x1f\x20\x7e\x7f", " ~"},
      {"\x80high\xff", "high"},
      {"\r\n", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PrintableLogText(c.in), c.out) << c.out;
}

TEST(LogText, FramesAreTakenLiterally) {
  EXPECT_EQ(Frame("Tx: ", "\nI00210200000:2A\r"), "Tx: I00210200000:2A");
  EXPECT_EQ(Frame("Rx: ", "\nA%s%d%n%%\r"), "Rx: A%s%d%n%%");
  EXPECT_EQ(Frame("Rx: ", std::string("\nB\0\r", 4)), "Rx: B");
  // The longest received frame, 64 bytes, fits well within the limit.
  const std::string longest = "\n" + std::string(62, 'C') + "\r";
  EXPECT_EQ(Frame("Rx: ", longest), "Rx: " + std::string(62, 'C'));
}

TEST(LogText, FormattedTextsAndTheirLimit) {
  EXPECT_EQ(Format("'%s' opened", "\\\\.\\COM3"), "'\\\\.\\COM3' opened");
  EXPECT_EQ(Format("Failed to open '%s'", "\\\\.\\COM9"), "Failed to open '\\\\.\\COM9'");
  EXPECT_EQ(Format("Port closed"), "Port closed");
  EXPECT_EQ(Format("%s", std::string(254, 'x').c_str()).size(), 254u);
  EXPECT_EQ(Format("%s", std::string(255, 'x').c_str()).size(), 255u);
  EXPECT_EQ(Format("%s!", std::string(300, 'x').c_str()), std::string(255, 'x'));
  EXPECT_EQ(Format("%s", ""), "");
}

TEST(LogText, DroppedFramesNoticeCountsInTheRightNumber) {
  EXPECT_EQ(DroppedFramesText(1), "1 frame dropped: the line is faster than the window");
  EXPECT_EQ(DroppedFramesText(2), "2 frames dropped: the line is faster than the window");
  EXPECT_EQ(DroppedFramesText(4294967295u),
            "4294967295 frames dropped: the line is faster than the window");
  // Printable and well within the log's 255 characters, so it is logged as it is.
  EXPECT_EQ(PrintableLogText(DroppedFramesText(123456)), DroppedFramesText(123456));
}

TEST(LogBox, LineCountIsCrLfsPlusOne) {
  struct Case {
    std::string text;
    unsigned count;
  };
  const Case cases[] = {
      {"", 1}, {"a", 1}, {"a\r\n", 2}, {"a\r\nb", 2}, {"a\r\nb\r\n", 3},
      {"lone\rcr\nlf", 1}, {"\r\r\n\n", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(BoxLineCount(c.text), c.count) << c.text;
}

// The rule the box follows line by line: before each line, a box counting 60 lines or
// more loses everything up to the start of its line 10.
std::string AppendOneByOne(std::string box, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (BoxLineCount(box) >= 60) {
      size_t at = 0;
      for (int i = 0; i < 10; ++i) at = box.find("\r\n", at) + 2;
      box.erase(0, at);
    }
    box += line;
  }
  return box;
}

std::vector<std::string> Lines(int first, int count) {
  std::vector<std::string> lines;
  for (int i = first; i < first + count; ++i) lines.push_back(BoxLine("12:00:00", "line " + std::to_string(i)));
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l;
  return s;
}

TEST(LogBox, SixtiethLineLeavesFifty) {
  const std::string box = Joined(Lines(1, 59));
  const auto sixtieth = Lines(60, 1);
  const size_t cut = TrimmedPrefix(box, sixtieth);
  const std::string after = (box + sixtieth[0]).substr(cut);
  EXPECT_EQ(BoxLineCount(after), 51u);  // 50 lines and the empty one after them
  EXPECT_EQ(after.substr(0, after.find('\r')), "12:00:00\tline 11");
  EXPECT_EQ(TrimmedPrefix(Joined(Lines(1, 58)), Lines(59, 1)), 0u);
}

TEST(LogBox, BatchLeavesWhatLineByLineLeaves) {
  struct Case {
    const char* name;
    std::string box;
    int batch;
  };
  const Case cases[] = {
      {"empty box, one line", "", 1},
      {"empty box, 59 lines", "", 59},
      {"empty box, 60 lines", "", 60},
      {"empty box, a flood", "", 1000},
      {"58 lines, two more", Joined(Lines(1, 58)), 2},
      {"59 lines, one more", Joined(Lines(1, 59)), 1},
      {"55 lines, ten more", Joined(Lines(1, 55)), 10},
      {"55 lines, a flood", Joined(Lines(1, 55)), 137},
      {"user text without line ends", "typed by the user", 75},
      {"user text across a line end", "typed\r\nmore", 130},
      {"only line ends", std::string(120, '\r') + "\r\n\r\n", 64},
      {"more lines than the limit already", Joined(Lines(1, 90)), 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto lines = Lines(1000, c.batch);
    const size_t cut = TrimmedPrefix(c.box, lines);
    EXPECT_EQ((c.box + Joined(lines)).substr(cut), AppendOneByOne(c.box, lines));
  }
}

TEST(LogFile, AShortWriteKeepsOnlyTheLinesThatWentOutWhole) {
  const std::vector<std::string> lines = {"a\tb\tone\r\n", "a\tb\ttwo\r\n", "a\tb\tthree\r\n"};
  const struct {
    size_t written;
    size_t whole;
    size_t kept;
  } cases[] = {
      {0, 0, 0},  {1, 0, 0},  {8, 0, 0},   {9, 1, 9},   {10, 1, 9},
      {17, 1, 9}, {18, 2, 18}, {28, 2, 18}, {29, 3, 29}, {99, 3, 29},
  };
  for (const auto& c : cases) {
    size_t kept = 123;
    EXPECT_EQ(WholeLinesWritten(lines, c.written, &kept), c.whole) << c.written;
    EXPECT_EQ(kept, c.kept) << c.written;
  }
  size_t kept = 1;
  EXPECT_EQ(WholeLinesWritten({}, 5, &kept), 0u);
  EXPECT_EQ(kept, 0u);
}

TEST(LogFile, NoticesOnceWhenLinesAreLostAndOnceWhenTheyGoInAgain) {
  using Notices = std::vector<std::string>;
  const struct {
    size_t count, written;
    const char* reason;
    Notices notices;
  } steps[] = {
      {3, 3, "", {}},
      {1, 0, "Disk full.", {"ZVL-Log.txt not written: Disk full."}},
      {5, 0, "Sharing violation.", {}},  // said once, whatever the reason now
      {4, 0, "Disk full.", {}},
      {2, 2, "", {"ZVL-Log.txt written again (10 lines missing)"}},
      {6, 6, "", {}},
      // A batch that goes in part-way after a failure: both notices, in order.
      {1, 0, "Access denied.", {"ZVL-Log.txt not written: Access denied."}},
      {3, 1, "Disk full.",
       {"ZVL-Log.txt written again (1 line missing)", "ZVL-Log.txt not written: Disk full."}},
      {1, 1, "", {"ZVL-Log.txt written again (2 lines missing)"}},
  };
  LogFileNotices notices;
  int step = 0;
  for (const auto& s : steps) {
    EXPECT_EQ(notices.AfterWrite(s.count, s.written, s.reason), s.notices) << "step " << step;
    ++step;
  }
  // A long reason is cut like any text.
  LogFileNotices fresh;
  const Notices said = fresh.AfterWrite(1, 0, std::string(400, 'r'));
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].size(), kMaxLogText);
}

}  // namespace
