#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "comms/comms_state.h"
#include "link/frame_codec.h"
#include "tests/native/link_fixture.h"

namespace {

using Eight = std::array<uint8_t, 8>;

// The frame as the codec would hand it on: line feed, payload, two checksum places
// (contents irrelevant here, the codec has checked them), carriage return. Held in a
// buffer of exactly its length, so that a read past the end shows under ASan.
struct Frame {
  std::unique_ptr<uint8_t[]> bytes;
  uint8_t length;
  explicit Frame(const std::string& payload, const std::string& tail = "00\r") {
    const std::string all = "\n" + payload + tail;
    length = static_cast<uint8_t>(all.size());
    bytes.reset(new uint8_t[length]);
    std::copy(all.begin(), all.end(), bytes.get());
  }
};

FrameEffect Receive(CommsState& state, const std::string& payload,
                    const std::string& tail = "00\r") {
  Frame f(payload, tail);
  return state.Receive(f.bytes.get(), f.length);
}

Eight Controls(const CommsState& s) {
  Eight e;
  std::copy(s.controls, s.controls + 8, e.begin());
  return e;
}
Eight Indications(const CommsState& s) {
  Eight e;
  std::copy(s.indications, s.indications + 8, e.begin());
  return e;
}

const Eight kOld = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};

struct ControlsCase {
  const char* name;
  std::string payload;
  FrameEffect effect;
  Eight controls;  // kOld everywhere nothing was taken
  bool wide;
};

TEST(ControlsFrame, WidthDigitsAndDataBytes) {
  const ControlsCase cases[] = {
      {"width 0x20 is 32 bits", "C00212345678", FrameEffect::kShowControls,
       {0x21, 0x43, 0x65, 0x87, 0xA4, 0xA5, 0xA6, 0xA7}, false},
      {"width 0x40 is 64 bits", "C0041234567890ABCDEF", FrameEffect::kShowControls,
       {0x21, 0x43, 0x65, 0x87, 0x09, 0xBA, 0xDC, 0xFE}, true},
      {"digits 2 then 0 are 0x02", "C02012345678", FrameEffect::kNone, kOld, false},
      {"digits 4 then 0 are 0x04", "C04012345678", FrameEffect::kNone, kOld, false},
      {"width 0", "C00012345678", FrameEffect::kNone, kOld, false},
      {"width 0xFF", "C0FF12345678", FrameEffect::kNone, kOld, false},
      {"non-hex low width digit counts as 0", "C0G212345678", FrameEffect::kShowControls,
       {0x21, 0x43, 0x65, 0x87, 0xA4, 0xA5, 0xA6, 0xA7}, false},
      {"lower case equals upper case", "C004abcdef0123456789", FrameEffect::kShowControls,
       {0xBA, 0xDC, 0xFE, 0x10, 0x32, 0x54, 0x76, 0x98}, true},
      {"upper case", "C004ABCDEF0123456789", FrameEffect::kShowControls,
       {0xBA, 0xDC, 0xFE, 0x10, 0x32, 0x54, 0x76, 0x98}, true},
      {"G and other non-digits count as 0", "C002G1zG~~1g", FrameEffect::kShowControls,
       {0x10, 0x00, 0x00, 0x01, 0xA4, 0xA5, 0xA6, 0xA7}, false},
      {"the unexamined character may be anything", "CX0212345678", FrameEffect::kShowControls,
       {0x21, 0x43, 0x65, 0x87, 0xA4, 0xA5, 0xA6, 0xA7}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CommsState s;
    std::copy(kOld.begin(), kOld.end(), s.controls);
    s.wideControls = false;
    EXPECT_EQ(Receive(s, c.payload), c.effect);
    EXPECT_EQ(Controls(s), c.controls);
    EXPECT_EQ(s.wideControls, c.wide);
  }
}

TEST(ControlsFrame, IgnoredWidthKeepsWideControls) {
  CommsState s;
  ASSERT_EQ(Receive(s, "C0040000000000000000"), FrameEffect::kShowControls);
  EXPECT_EQ(Receive(s, "C0201111111111111111"), FrameEffect::kNone);
  EXPECT_TRUE(s.wideControls);
  EXPECT_EQ(Controls(s), Eight{});
}

TEST(ControlsFrame, NarrowAfterWideKeepsBytesFourToSeven) {
  CommsState s;
  ASSERT_EQ(Receive(s, "C0041111111111111111"), FrameEffect::kShowControls);
  EXPECT_EQ(s.BitsText(BitSet::kControls).size(), 72u);
  ASSERT_EQ(Receive(s, "C00222222222"), FrameEffect::kShowControls);
  EXPECT_FALSE(s.wideControls);
  EXPECT_EQ(Controls(s), (Eight{0x22, 0x22, 0x22, 0x22, 0x11, 0x11, 0x11, 0x11}));
  EXPECT_EQ(s.BitsText(BitSet::kControls), "01000100 01000100 01000100 01000100 ");
}

// A data byte is taken only when both of its digits lie inside the frame; the
// checksum digits and the carriage return count as digits like any other byte.
TEST(ControlsFrame, DataBytesNearTheFrameEnd) {
  struct Case {
    const char* name;
    std::string payload;
    std::string tail;
    Eight controls;
  };
  const Case cases[] = {
      // length 8: bytes 5, 6 are "1" and "2"; byte 7 is the CR.
      {"one byte, then the end", "C00212", "\r", {0x21, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}},
      // length 9: byte 1's second digit is the CR itself, which counts as 0.
      {"second digit is the last byte", "C00212", "3\r", {0x21, 0x03, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}},
      // length 10: byte 2's digits would be at 9 and 10; 10 is past the end.
      {"second digit just past the end", "C0021234", "\r", {0x21, 0x43, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}},
      // A 32-bit frame whose checksum digits stand where byte 3 would be.
      {"checksum digits read as data", "C002123456", "AB\r", {0x21, 0x43, 0x65, 0xBA, 0xA4, 0xA5, 0xA6, 0xA7}},
      // A 64-bit frame cut after six bytes keeps bytes 6 and 7.
      {"64-bit frame cut short", "C004112233445566", "\r", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xA6, 0xA7}},
      {"width only", "C004", "\r", kOld},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CommsState s;
    std::copy(kOld.begin(), kOld.end(), s.controls);
    EXPECT_EQ(Receive(s, c.payload, c.tail), FrameEffect::kShowControls);
    EXPECT_EQ(Controls(s), c.controls);
  }
}

TEST(ControlsFrame, TooShortForItsWidthIsIgnored) {
  for (const char* frame : {"\nC\r", "\nC0\r", "\nC00"}) {
    SCOPED_TRACE(frame);
    CommsState s;
    const std::string f(frame);
    auto bytes = std::make_unique<uint8_t[]>(f.size());
    std::copy(f.begin(), f.end(), bytes.get());
    EXPECT_EQ(s.Receive(bytes.get(), static_cast<uint8_t>(f.size())), FrameEffect::kNone);
    EXPECT_EQ(Controls(s), Eight{});
  }
}

TEST(BitsFrame, ControlsAndIndicationsFramesDecodeAlike) {
  struct Case {
    const char* body;  // after the type character
    std::string tail;
    uint8_t width;
    unsigned bytesRead;
    Eight bytes;
  } cases[] = {
      {"00212345678", "\r", 0x20, 4, {0x21, 0x43, 0x65, 0x87, 0, 0, 0, 0}},
      {"0041234567890ABCDEF", "\r", 0x40, 8, {0x21, 0x43, 0x65, 0x87, 0x09, 0xBA, 0xDC, 0xFE}},
      {"00212", "3\r", 0x20, 2, {0x21, 0x03, 0, 0, 0, 0, 0, 0}},
      {"0", "\r", 0, 0, {}},
  };
  for (const Case& k : cases) {
    for (const char type : {'C', 'I'}) {
      SCOPED_TRACE(std::string(1, type) + k.body);
      const Frame f(type + std::string(k.body), k.tail);
      const BitsFrame bits = DecodeBitsFrame(f.bytes.get(), f.length);
      EXPECT_EQ(bits.width, k.width);
      EXPECT_EQ(bits.bytesRead, k.bytesRead);
      Eight bytes;
      std::copy(bits.bytes, bits.bytes + 8, bytes.begin());
      EXPECT_EQ(bytes, k.bytes);
    }
  }
}

TEST(IndicationsFrame, ChangesBytesZeroToThreeOnly) {
  struct Case {
    const char* name;
    std::string payload;
    std::string tail;
    Eight indications;
  };
  const Eight old = {1, 2, 3, 4, 5, 6, 7, 8};
  const Case cases[] = {
      {"32-bit packet", "I00212345678:", "00\r", {0x21, 0x43, 0x65, 0x87, 5, 6, 7, 8}},
      {"64-bit packet still sets 1 to 32", "I0041234567890ABCDEF:", "00\r",
       {0x21, 0x43, 0x65, 0x87, 5, 6, 7, 8}},
      {"width field not examined", "IZZZ12345678", "00\r", {0x21, 0x43, 0x65, 0x87, 5, 6, 7, 8}},
      {"lower case", "I002abcdef01", "00\r", {0xBA, 0xDC, 0xFE, 0x10, 5, 6, 7, 8}},
      // 13 bytes: byte 3's digits are the checksum's two places.
      {"13 bytes: checksum places read as byte 3", "I002123456", "7A\r",
       {0x21, 0x43, 0x65, 0xA7, 5, 6, 7, 8}},
      {"short frame: bytes past the end unchanged", "I00212", "3\r", {0x21, 0x03, 3, 4, 5, 6, 7, 8}},
      {"5-byte frame changes nothing", "I", "35\r", old},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CommsState s;
    s.wideIndications = true;
    std::copy(old.begin(), old.end(), s.indications);
    EXPECT_EQ(Receive(s, c.payload, c.tail), FrameEffect::kShowIndications);
    EXPECT_EQ(Indications(s), c.indications);
    EXPECT_TRUE(s.wideIndications);
  }
}

TEST(OtherFrames, OnlyRWhileRespondingAsksForAnAnswer) {
  struct Case {
    std::string payload;
    bool respond;
    FrameEffect effect;
  };
  const Case cases[] = {
      {"R", true, FrameEffect::kSendIndications}, {"R", false, FrameEffect::kNone},
      {"A", true, FrameEffect::kNone},            {"B", true, FrameEffect::kNone},
      {"~r0000000000000000", true, FrameEffect::kNone}, {"+", true, FrameEffect::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    CommsState s;
    s.respond = c.respond;
    EXPECT_EQ(Receive(s, c.payload), c.effect);
    EXPECT_EQ(Controls(s), Eight{});
    EXPECT_EQ(Indications(s), Eight{});
  }
}

TEST(AckAndNak, OnlyThreeByteAckOrNak) {
  struct Case {
    std::string frame;
    bool ackOrNak;
  };
  const Case cases[] = {
      {"\n+\r", true}, {"\n-\r", true}, {"\n+0\r", false}, {"\nA\r", false}, {"\nR\r", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsAckOrNak(reinterpret_cast<const uint8_t*>(c.frame.data()),
                         static_cast<unsigned>(c.frame.size())),
              c.ackOrNak)
        << c.frame.size();
  }
}

TEST(BitsText, BitZeroOfByteZeroFirstInGroupsOfEight) {
  CommsState s;
  EXPECT_EQ(s.BitsText(BitSet::kControls), "00000000 00000000 00000000 00000000 ");
  EXPECT_EQ(s.BitsText(BitSet::kIndications), "00000000 00000000 00000000 00000000 ");
  s.SetIndication(1, true);
  s.SetIndication(10, true);
  EXPECT_EQ(s.BitsText(BitSet::kIndications), "10000000 01000000 00000000 00000000 ");
  s.SetIndication(64, true);
  EXPECT_EQ(s.BitsText(BitSet::kIndications), "10000000 01000000 00000000 00000000 ");
  s.wideIndications = true;
  EXPECT_EQ(s.BitsText(BitSet::kIndications),
            "10000000 01000000 00000000 00000000 00000000 00000000 00000000 00000001 ");
  // The indications' width has no effect on the controls.
  EXPECT_EQ(s.BitsText(BitSet::kControls).size(), 36u);
}

TEST(Indications, NumberingAndSingleBitChanges) {
  struct Case {
    int number;
    unsigned byte;
    uint8_t mask;
  };
  const Case cases[] = {{1, 0, 0x01}, {8, 0, 0x80}, {10, 1, 0x02}, {14, 1, 0x20},
                        {33, 4, 0x01}, {64, 7, 0x80}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    CommsState s;
    std::fill(s.indications, s.indications + 8, 0x5A);
    const bool was = s.Indication(c.number);
    s.SetIndication(c.number, !was);
    Eight expected;
    expected.fill(0x5A);
    expected[c.byte] ^= c.mask;
    EXPECT_EQ(Indications(s), expected);
    EXPECT_EQ(s.Indication(c.number), !was);
  }
  CommsState s;
  s.SetIndication(0, true);
  s.SetIndication(65, true);
  EXPECT_EQ(Indications(s), Eight{});
}

std::string PayloadOf(const CommsState& s) {
  uint8_t payload[CommsState::kMaxPayload];
  const unsigned n = s.IndicationsPayload(payload);
  return std::string(payload, payload + n);
}

// A controls payload built here is read back by the tool's own rules to the same bytes
// and width; an indications payload is the state's packet.
TEST(BitsPayload, ControlsAndIndicationsAtEitherWidth) {
  const Eight bytes = {0x01, 0x80, 0x5A, 0xFF, 0x10, 0x02, 0x00, 0xC3};
  const struct {
    uint8_t type;
    bool wide;
    const char* payload;
  } cases[] = {
      {'C', false, "C0021008A5FF:"},
      {'C', true, "C0041008A5FF0120003C:"},
      {'I', false, "I0021008A5FF:"},
      {'I', true, "I0041008A5FF0120003C:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    uint8_t payload[CommsState::kMaxPayload];
    const unsigned n = BitsPayload(c.type, bytes.data(), c.wide, payload);
    EXPECT_EQ(std::string(payload, payload + n), c.payload);
    if (c.type == 'C') {
      CommsState s;
      std::copy(kOld.begin(), kOld.end(), s.controls);
      EXPECT_EQ(Receive(s, std::string(payload, payload + n)), FrameEffect::kShowControls);
      EXPECT_EQ(s.wideControls, c.wide);
      Eight expected = bytes;
      if (!c.wide) std::copy(kOld.begin() + 4, kOld.end(), expected.begin() + 4);
      EXPECT_EQ(Controls(s), expected);
    } else {
      CommsState s;
      std::copy(bytes.begin(), bytes.end(), s.indications);
      s.wideIndications = c.wide;
      uint8_t packet[CommsState::kMaxPayload];
      EXPECT_EQ(std::string(packet, packet + s.IndicationsPayload(packet)), c.payload);
    }
  }
}

// The packet goes out through the real codec, so the frame bytes are the wire's.
TEST(IndicationsPacket, ThirtyTwoAndSixtyFourBitFrames) {
  PtyPair pty;
  ASSERT_FALSE(pty.path.empty());
  RecordingSink sink;
  FrameCodec codec(&sink);
  ASSERT_TRUE(codec.OpenPort(pty.path.c_str()));

  CommsState s;
  s.SetIndication(1, true);
  s.SetIndication(10, true);
  s.SetIndication(64, true);  // not sent while 32 bits wide
  EXPECT_EQ(PayloadOf(s), "I00210200000:");
  uint8_t payload[CommsState::kMaxPayload];
  ASSERT_TRUE(codec.SendFrame(payload, s.IndicationsPayload(payload)));

  s.wideIndications = true;
  EXPECT_EQ(PayloadOf(s), "I0041020000000000008:");
  ASSERT_TRUE(codec.SendFrame(payload, s.IndicationsPayload(payload)));

  const Bytes narrow = {0x0A, 0x49, 0x30, 0x30, 0x32, 0x31, 0x30, 0x32, 0x30,
                        0x30, 0x30, 0x30, 0x30, 0x3A, 0x32, 0x41, 0x0D};
  std::lock_guard<std::mutex> hold(sink.mutex);
  ASSERT_EQ(sink.logged.size(), 2u);
  EXPECT_EQ(sink.logged[0], narrow);
  EXPECT_EQ(sink.logged[1].size(), 25u);
  EXPECT_EQ(Bytes(sink.logged[1].begin() + 1, sink.logged[1].end() - 3),
            B("I0041020000000000008:"));
  EXPECT_TRUE(FrameCodec::ChecksumValid(sink.logged[1].data(), 25));
}

// --- Port events in the log, and the tries at a port whose device went away.

TEST(PortChoice, EachNameOfTheListOpensItsDeviceAndNoneClosesThePort) {
  struct Case {
    const char* name;
    bool none;
    const char* path;
  } cases[] = {
      {"None", true, "\\\\.\\None"},
      {"COM1", false, "\\\\.\\COM1"},
      {"COM15", false, "\\\\.\\COM15"},
      {"none", false, "\\\\.\\none"},  // the list's own spelling only
      {"None ", false, "\\\\.\\None "},
      {"", false, "\\\\.\\"},
      // Only the first seven characters of the list's text are read.
      {"COM1234567", false, "\\\\.\\COM1234"},
      {"NoneNoneNone", false, "\\\\.\\NoneNon"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(IsNoPort(k.name), k.none) << '"' << k.name << '"';
    EXPECT_EQ(PortDevicePath(k.name), k.path) << '"' << k.name << '"';
  }
  // The list: "None" first, every other entry a port of its own.
  EXPECT_TRUE(IsNoPort(kPortEntries[kNoPortEntry]));
  EXPECT_EQ(PortDevicePath(kPortEntries[kFirstTriedPortEntry]), "\\\\.\\COM1");
  for (int i = 1; i < kPortEntryCount; ++i) {
    EXPECT_FALSE(IsNoPort(kPortEntries[i])) << i;
    EXPECT_EQ(PortDevicePath(kPortEntries[i]), "\\\\.\\COM" + std::to_string(i)) << i;
  }
}

TEST(PortEventText, EachEventAsTheLogShowsIt) {
  const std::string com1 = "\\\\.\\COM1";
  const struct {
    PortEvent event;
    std::string path, text;
  } cases[] = {
      {PortEvent::kOpened, com1, "'\\\\.\\COM1' opened"},
      {PortEvent::kOpenFailed, com1, "Failed to open '\\\\.\\COM1'"},
      {PortEvent::kClosed, "\\\\.\\None", "Port closed"},
      {PortEvent::kLost, com1, "'\\\\.\\COM1' lost"},
      // The path goes in as it is, a "%" in it included.
      {PortEvent::kOpened, "\\\\.\\%s%d", "'\\\\.\\%s%d' opened"},
      {PortEvent::kLost, "", "'' lost"},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(PortEventText(k.event, k.path), k.text) << static_cast<int>(k.event) << k.path;
  }
}

// One step of the page's life with its port, and what the watch says after it.
struct WatchStep {
  enum Kind { kOpen, kChoose, kLose } kind;
  const char* path;  // for kOpen
  bool news;         // for kLose: whether the loss is to be logged and tried
};

struct WatchCase {
  const char* name;
  std::vector<WatchStep> steps;
  bool retrying;
  const char* path;  // the port open or being tried at the end
};

class PortWatchSteps : public ::testing::TestWithParam<WatchCase> {};

TEST_P(PortWatchSteps, LossesAndChoices) {
  PortWatch watch;
  int i = 0;
  for (const WatchStep& step : GetParam().steps) {
    switch (step.kind) {
      case WatchStep::kOpen: watch.Opened(step.path); break;
      case WatchStep::kChoose: watch.Chosen(); break;
      case WatchStep::kLose: EXPECT_EQ(watch.Lose(), step.news) << "step " << i; break;
    }
    ++i;
  }
  EXPECT_EQ(watch.Retrying(), GetParam().retrying);
  EXPECT_EQ(watch.DevicePath(), GetParam().path);
}

const char kCom1[] = "\\\\.\\COM1";
const char kCom3[] = "\\\\.\\COM3";
const WatchStep kOpen1{WatchStep::kOpen, kCom1, false};
const WatchStep kOpen3{WatchStep::kOpen, kCom3, false};
const WatchStep kChoose{WatchStep::kChoose, nullptr, false};
const WatchStep kNews{WatchStep::kLose, nullptr, true};
const WatchStep kStale{WatchStep::kLose, nullptr, false};

INSTANTIATE_TEST_SUITE_P(
    PortWatch, PortWatchSteps,
    ::testing::Values(
        WatchCase{"NothingOpenNothingTried", {}, false, ""},
        WatchCase{"LossOfTheOpenPortStartsTries", {kOpen1, kNews}, true, kCom1},
        WatchCase{"SecondNoticeOfOneLossIsNotNews", {kOpen1, kNews, kStale}, true, kCom1},
        WatchCase{"NoticeWithNoPortOpenIsIgnored", {kStale, kOpen1, kChoose, kStale}, false, ""},
        WatchCase{"ChoosingAnEntryEndsTheTries", {kOpen1, kNews, kChoose, kStale}, false, ""},
        WatchCase{"ChoosingAnotherPortWatchesThatOne", {kOpen1, kNews, kChoose, kOpen3, kNews},
                  true, kCom3},
        WatchCase{"ReopenedPortEndsTriesAndCanBeLostAgain", {kOpen1, kNews, kOpen1}, false,
                  kCom1},
        WatchCase{"SecondLossAfterReopeningIsNewsAgain", {kOpen1, kNews, kOpen1, kNews}, true,
                  kCom1}),
    [](const ::testing::TestParamInfo<WatchCase>& info) { return std::string(info.param.name); });

}  // namespace

TEST(UnsentAnswerNotices, OneNoticeWhenAnswersStopGoingOutAndOneWhenTheyGoAgain) {
  struct Case {
    const char* name;
    std::vector<bool> sent;               // each answer in turn
    std::vector<std::string> expected;    // what is logged after each
  };
  const std::string stopped = "Answers to 'R' not sent: the line does not take them in time";
  const Case cases[] = {
      {"all sent", {true, true, true}, {"", "", ""}},
      {"one given up", {true, false, true}, {"", stopped, "Answers to 'R' sent again (1 not sent)"}},
      {"a run given up, said once",
       {false, false, false, true, true},
       {stopped, "", "", "Answers to 'R' sent again (3 not sent)", ""}},
      {"two episodes counted apart",
       {false, true, false, false, true},
       {stopped, "Answers to 'R' sent again (1 not sent)", stopped, "",
        "Answers to 'R' sent again (2 not sent)"}},
  };
  for (const Case& c : cases) {
    UnsentAnswerNotices notices;
    for (size_t i = 0; i < c.sent.size(); ++i) {
      EXPECT_EQ(notices.AfterAnswer(c.sent[i]), c.expected[i]) << c.name << ", answer " << i;
    }
  }
}
