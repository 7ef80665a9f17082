#include <gtest/gtest.h>

#include <string>

#include "config/config_form.h"
#include "tests/native/frame_text.h"

namespace {

ConfigForm::FrameOutcome Feed(ConfigForm& form, const std::string& frame, uint32_t tick) {
  return form.OnFrame(reinterpret_cast<const uint8_t*>(frame.data()),
                      static_cast<uint8_t>(frame.size()), tick);
}

using Statuses = std::vector<std::string>;

TEST(ShowConfig, DefaultsAsTheFirstShowingPresentsThem) {
  const ConfigControls c = ShowConfig(DefaultConfig(), kNoBaudEntry);
  EXPECT_TRUE(c.ioUsed);
  EXPECT_TRUE(c.ioIdEnabled);
  EXPECT_EQ(c.ioId, "60");
  EXPECT_FALSE(c.zvlUsed);
  EXPECT_EQ(c.zvlId, "61");
  EXPECT_FALSE(c.zvlIdEnabled);
  EXPECT_FALSE(c.splitZvl);
  EXPECT_FALSE(c.splitZvlEnabled);
  EXPECT_FALSE(c.zvlIdPlusOneEnabled);
  EXPECT_EQ(c.zvlIdPlusOne, "62");
  EXPECT_FALSE(c.adcsUsed);
  EXPECT_FALSE(c.adcsIdEnabled);
  EXPECT_EQ(c.adcsId, "63");
  EXPECT_FALSE(c.protocol32);
  EXPECT_FALSE(c.rxEqualisation || c.v22TxHighRxLow || c.noCtrlByte || c.nrz || c.useAvail ||
               c.dontBufferControls);
  EXPECT_EQ(c.preambleMs, "120");
  EXPECT_EQ(c.postambleMs, "40");
  ASSERT_EQ(c.baudEntry, 2);
  EXPECT_STREQ(kBaudEntries[c.baudEntry], "1200/1200");
}

TEST(ShowConfig, EachOptionBitReachesItsOwnBox) {
  struct Case {
    uint8_t bit;
    bool ConfigControls::*box;
  } cases[] = {
      {0x01, &ConfigControls::rxEqualisation}, {0x02, &ConfigControls::v22TxHighRxLow},
      {0x04, &ConfigControls::nrz},            {0x08, &ConfigControls::noCtrlByte},
      {0x10, &ConfigControls::protocol32},     {0x20, &ConfigControls::useAvail},
      {0x40, &ConfigControls::dontBufferControls},
  };
  for (const Case& k : cases) {
    UnitConfig config = DefaultConfig();
    config.options = k.bit;
    const ConfigControls c = ShowConfig(config, 0);
    for (const Case& other : cases) {
      EXPECT_EQ(c.*(other.box), other.bit == k.bit) << "bit " << int(k.bit);
    }
    EXPECT_EQ(ReadControls(c).options, k.bit);
  }
  UnitConfig unused = DefaultConfig();
  unused.options = 0x80;  // no box: not shown, written back as 0
  EXPECT_EQ(ReadControls(ShowConfig(unused, 0)).options, 0);
}

TEST(ShowConfig, SplitAndUnusedZvlShowBothAndKeepBoth) {
  UnitConfig config = DefaultConfig();
  config.zvlId = 0x80 | 0x40 | 5;
  const ConfigControls c = ShowConfig(config, 0);
  EXPECT_FALSE(c.zvlUsed);
  EXPECT_TRUE(c.splitZvl);
  EXPECT_FALSE(c.splitZvlEnabled);
  EXPECT_FALSE(c.zvlIdPlusOneEnabled);
  EXPECT_EQ(ReadControls(c).zvlId, 0xC5);

  config.zvlId = 0x40 | 7;  // used and split: the box beside the ID is live
  const ConfigControls split = ShowConfig(config, 0);
  EXPECT_TRUE(split.zvlIdEnabled && split.splitZvlEnabled && split.zvlIdPlusOneEnabled);
  EXPECT_EQ(split.zvlIdPlusOne, "8");
}

// The ZVL controls the same way whether a record is shown or "ZVL" is clicked.
TEST(ZvlControls, LiveControlsFollowZvlAndSplit) {
  struct Case {
    bool used, split;
    bool id, splitBox, plusOne;
  } cases[] = {
      {false, false, false, false, false},
      {false, true, false, false, false},  // split kept, but nothing of it is live
      {true, false, true, true, false},
      {true, true, true, true, true},
  };
  for (const Case& k : cases) {
    const ZvlEnabling live = ZvlControlsEnabled(k.used, k.split);
    EXPECT_EQ(live.id, k.id) << k.used << k.split;
    EXPECT_EQ(live.split, k.splitBox) << k.used << k.split;
    EXPECT_EQ(live.plusOne, k.plusOne) << k.used << k.split;

    UnitConfig config = DefaultConfig();
    config.zvlId = static_cast<uint8_t>(5 | (k.used ? 0 : kIdUnused) | (k.split ? kZvlSplit : 0));
    const ConfigControls shown = ShowConfig(config, 0);
    EXPECT_EQ(shown.zvlIdEnabled, k.id) << k.used << k.split;
    EXPECT_EQ(shown.splitZvlEnabled, k.splitBox) << k.used << k.split;
    EXPECT_EQ(shown.zvlIdPlusOneEnabled, k.plusOne) << k.used << k.split;
  }
}

TEST(ReadControls, TypedValuesAreStoredAsTheUnitKeepsThem) {
  ConfigControls c = ShowConfig(DefaultConfig(), kNoBaudEntry);
  c.ioId = "70";
  c.preambleMs = "103";
  c.zvlId = "300";
  c.zvlUsed = true;
  const UnitConfig stored = ReadControls(c);
  EXPECT_EQ(stored.ioId, 63);
  EXPECT_EQ(stored.preamble, 15);
  EXPECT_EQ(stored.zvlId, 63);
  const ConfigControls shown = ShowConfig(stored, c.baudEntry);
  EXPECT_EQ(shown.ioId, "63");
  EXPECT_EQ(shown.preambleMs, "100");
  EXPECT_EQ(shown.zvlId, "63");
  EXPECT_EQ(shown.zvlIdPlusOne, "64");
}

TEST(ReadControls, EveryRecordThePageCanShowComesBackUnchanged) {
  for (unsigned steps = 0; steps < 256; ++steps) {
    UnitConfig config = DefaultConfig();
    config.preamble = static_cast<uint8_t>(steps);
    config.postamble = static_cast<uint8_t>(255 - steps);
    config.ioId = static_cast<uint8_t>(steps & 0xBF);
    config.adcsId = static_cast<uint8_t>((steps * 7) & 0xBF);
    config.zvlId = static_cast<uint8_t>(steps * 3);
    config.options = static_cast<uint8_t>(steps & 0x7F);
    EXPECT_EQ(ReadControls(ShowConfig(config, kNoBaudEntry)), config) << "steps " << steps;
  }
}

TEST(ParseNumber, ReadsLikeTheEditsDo) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"", 0},           {"abc", 0},        {"42", 42},         {"  42", 42},
      {"42abc", 42},     {"4 2", 4},        {"007", 7},         {"-5", 0},
      {"4294967295", 4294967295u},          {"4294967296", 0},  {"99999999999999999999", 0},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseNumber(text), value) << text;
}

TEST(ZvlIdPlusOne, FollowsTheTypedNumber) {
  EXPECT_EQ(ZvlIdPlusOneText(""), "1");
  EXPECT_EQ(ZvlIdPlusOneText("300"), "301");
  EXPECT_EQ(ZvlIdPlusOneText("4294967295"), "4294967296");
}

TEST(BaudList, CodesChooseEntriesAndEntriesGiveCodes) {
  struct Case {
    uint8_t code;
    int entry;  // with the selection on entry 3 beforehand
  } cases[] = {
      {15, 0}, {14, 1}, {13, 2}, {12, 3}, {11, 4}, {10, 5}, {2, 5},  {5, 5},  {7, 5},
      {16, 5}, {200, 5}, {0, 3}, {1, 3},  {8, 3},  {9, 3},
  };
  for (const Case& k : cases) EXPECT_EQ(BaudEntryForCode(k.code, 3), k.entry) << int(k.code);
  const uint8_t codes[] = {15, 14, 13, 12, 11, 10};
  for (int e = 0; e < kBaudEntryCount; ++e) EXPECT_EQ(BaudCodeForEntry(e), codes[e]);
  EXPECT_EQ(BaudCodeForEntry(kNoBaudEntry), 13);

  UnitConfig config = DefaultConfig();
  config.baudCode = 5;  // no row: shown as 9600 and saved back as 10
  EXPECT_EQ(ReadControls(ShowConfig(config, 0)).baudCode, 10);
  config.baudCode = 0;  // 115200 has no entry: the previous entry stays
  EXPECT_EQ(ReadControls(ShowConfig(config, 4)).baudCode, 11);
}

struct AnswerCase {
  const char* name;
  bool write, read;
  uint32_t requestTick, answerTick;
  char answer;
  Statuses statuses;
};

class Answers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answers, StatusesAndClearedFlags) {
  const AnswerCase& k = GetParam();
  ConfigForm form;
  if (k.write) form.WriteRequested(k.requestTick);
  if (k.read) form.ReadRequested(k.requestTick);
  const std::string frame = {'\n', k.answer, '\r'};
  const ConfigForm::FrameOutcome out = Feed(form, frame, k.answerTick);
  EXPECT_EQ(out.statuses, k.statuses);
  EXPECT_EQ(out.kind, k.answer == '+' ? ConfigForm::FrameKind::kAccepted
                                      : ConfigForm::FrameKind::kRefused);
  EXPECT_FALSE(form.writePending);
  EXPECT_FALSE(form.readPending);
}

INSTANTIATE_TEST_SUITE_P(
    ConfigAnswers, Answers,
    ::testing::Values(
        AnswerCase{"WriteAcked", true, false, 1000, 1500, '+', {"Write command successful"}},
        AnswerCase{"WriteNaked", true, false, 1000, 1999, '-', {"Write command rejected"}},
        AnswerCase{"WriteAckedLate", true, false, 1000, 2200, '+', {}},
        AnswerCase{"WriteAckedAtTheWindowsEdge", true, false, 1000, 2000, '+', {}},
        AnswerCase{"ReadAckedSilently", false, true, 1000, 1100, '+', {}},
        AnswerCase{"ReadNaked", false, true, 1000, 1100, '-', {"Read command rejected"}},
        AnswerCase{"WriteThenReadNaked", true, true, 1000, 1100, '-',
                   {"Write command rejected", "Read command rejected"}},
        AnswerCase{"WriteThenReadAcked", true, true, 1000, 1100, '+', {"Write command successful"}},
        AnswerCase{"AcrossTheTickWrap", true, false, 0xFFFFFF00u, 0x10, '+',
                   {"Write command successful"}},
        // The reader thread stamped the answer before the page noted the request.
        AnswerCase{"WriteAckedBeforeTheRequestTick", true, false, 1000, 990, '+',
                   {"Write command successful"}},
        AnswerCase{"ReadNakedBeforeTheRequestTickAcrossTheWrap", false, true, 0x5, 0xFFFFFFF0u,
                   '-', {"Read command rejected"}},
        AnswerCase{"NothingPending", false, false, 0, 10, '+', {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Requests and answers in order: 'W' Write, 'R' Read, 'T' Tx on, 't' Tx off, '+' and
// '-' the unit's answers; the statuses of all the answers, in order.
struct Step {
  char what;
  uint32_t tick;
};
TEST(ConfigForm, ATxRefusedInTimeIsShownAndWriteAndReadStillTakeTheAnswerFirst) {
  const struct Case {
    const char* name;
    std::vector<Step> steps;
    Statuses statuses;
  } cases[] = {
      {"TxOnNaked", {{'T', 1000}, {'-', 1500}}, {"Tx on command rejected"}},
      {"TxOffNaked", {{'t', 1000}, {'-', 1999}}, {"Tx off command rejected"}},
      {"TxOnAckedLeavesItsStatus", {{'T', 1000}, {'+', 1100}}, {}},
      {"TxNakedAtTheWindowsEdge", {{'T', 1000}, {'-', 2000}}, {}},
      {"TxNakedBeforeItsTickAcrossTheWrap", {{'t', 5}, {'-', 0xFFFFFFF0u}},
       {"Tx off command rejected"}},
      {"ATxIsSettledOnce", {{'T', 1000}, {'+', 1100}, {'-', 1200}}, {}},
      {"TheLatestTxIsTheOneAnswered", {{'T', 1000}, {'t', 1100}, {'-', 1200}},
       {"Tx off command rejected"}},
      {"WriteThenTxEachTakeOneNak", {{'W', 1000}, {'T', 1100}, {'-', 1200}, {'-', 1300}},
       {"Write command rejected", "Tx on command rejected"}},
      {"PendingReadTakesTheNak", {{'R', 1000}, {'t', 1100}, {'-', 1200}},
       {"Read command rejected"}},
      {"LatePendingWriteStillTakesTheAnswer", {{'W', 1000}, {'T', 1900}, {'-', 2100}}, {}},
      {"AWriteAfterATxDropsTheTxsMark", {{'T', 1000}, {'W', 1100}, {'-', 1200}, {'-', 1300}},
       {"Write command rejected"}},
  };
  for (const Case& k : cases) {
    ConfigForm form;
    Statuses statuses;
    for (const Step& step : k.steps) {
      switch (step.what) {
        case 'W': form.WriteRequested(step.tick); break;
        case 'R': form.ReadRequested(step.tick); break;
        case 'T': form.TxRequested(ConfigRequest::kTxOn, step.tick); break;
        case 't': form.TxRequested(ConfigRequest::kTxOff, step.tick); break;
        default:
          const ConfigForm::FrameOutcome out = Feed(form, {'\n', step.what, '\r'}, step.tick);
          statuses.insert(statuses.end(), out.statuses.begin(), out.statuses.end());
      }
    }
    EXPECT_EQ(statuses, k.statuses) << k.name;
  }
}

TEST(ConfigForm, PendingReadWaitsForTheNextAnswer) {
  ConfigForm form;
  form.ReadRequested(100);  // the send may have failed: the mark stays all the same
  EXPECT_TRUE(Feed(form, FrameText("C0020000"), 200).statuses.empty());
  EXPECT_TRUE(form.readPending);
  Feed(form, "\n+\r", 300);
  EXPECT_FALSE(form.readPending);
}

TEST(ConfigForm, ValidReadResponseReplacesTheRecord) {
  ConfigForm form;
  form.ReadRequested(0);
  const auto out = Feed(form, FrameText("~r3105C3DBFB216000D0"), 50);
  EXPECT_EQ(out.statuses, Statuses{"Read complete (F/W v1.3)"});
  EXPECT_TRUE(out.showDaughterBoard);
  EXPECT_EQ(out.daughterBoard, "Dip Switch: 1 off, 2 on, 3 off, 4 -, VF, v.23");
  EXPECT_TRUE(out.showConfig);
  EXPECT_EQ(form.config, DefaultConfig());
  EXPECT_EQ(out.kind, ConfigForm::FrameKind::kReadResponse);
  EXPECT_EQ(out.record, DefaultConfig());
  EXPECT_EQ(out.firmware, "1.3");
  EXPECT_EQ(out.dipSwitches, "1 off, 2 on, 3 off, 4 -, VF, v.23");
  EXPECT_TRUE(form.readPending);  // only '+' and '-' settle a request
}

TEST(ConfigForm, ShortReadResponseOnlySaysItIsInvalid) {
  ConfigForm form;
  const UnitConfig before = form.config;
  const auto out = Feed(form, FrameText("~r3105C3DBFB216000D"), 50);  // 23 bytes
  EXPECT_EQ(out.statuses, Statuses{"Received invalid configuration"});
  EXPECT_EQ(out.kind, ConfigForm::FrameKind::kInvalidResponse);
  EXPECT_FALSE(out.showDaughterBoard);
  EXPECT_FALSE(out.showConfig);
  EXPECT_EQ(form.config, before);
}

TEST(ConfigForm, OtherFramesChangeNothing) {
  for (const std::string payload : {"~R", "~W", "~T", "~t", "C0020000", "R", "A", "B"}) {
    ConfigForm form;
    form.WriteRequested(0);
    const auto out = Feed(form, FrameText(payload), 10);
    EXPECT_TRUE(out.statuses.empty()) << payload;
    EXPECT_FALSE(out.showConfig);
    EXPECT_TRUE(form.writePending);
  }
}

std::string Shown(const char* text) { return text ? "\"" + std::string(text) + "\"" : "nothing"; }

// What each request leaves on the page once its send has returned.
TEST(Requests, SentAndFailedSendsShowTheirOwnTexts) {
  using R = ConfigRequest;
  struct Case {
    R request;
    bool sent, ctrl;
    const char* status;   // null: the status line is left alone
    const char* failure;  // null: no box
    bool debugBox;
  } cases[] = {
      {R::kWrite, true, false, nullptr, nullptr, false},
      {R::kWrite, true, true, nullptr, nullptr, true},
      {R::kWrite, false, true, nullptr, "Failed to send configuration packet", false},
      {R::kWrite, false, false, nullptr, "Failed to send configuration packet", false},
      {R::kRead, true, false, "", nullptr, false},
      {R::kRead, true, true, "", nullptr, false},  // only Write has a debug box
      {R::kRead, false, false, nullptr, "Failed to send read request packet", false},
      {R::kTxOn, true, false, "Tx on", nullptr, false},
      {R::kTxOn, false, false, nullptr, "Failed to send 'Tx on' request packet", false},
      {R::kTxOff, true, false, "Tx off", nullptr, false},
      {R::kTxOff, false, true, nullptr, "Failed to send 'Tx off' request packet", false},
  };
  for (const Case& k : cases) {
    const SendOutcome out = AfterSend(k.request, k.sent, k.ctrl);
    const std::string which = "request " + std::to_string(static_cast<int>(k.request)) +
                              (k.sent ? " sent" : " failed") + (k.ctrl ? " with Ctrl" : "");
    EXPECT_EQ(Shown(out.status), Shown(k.status)) << which;
    EXPECT_EQ(Shown(out.failure), Shown(k.failure)) << which;
    EXPECT_EQ(out.debugBox, k.debugBox) << which;
  }
}

TEST(Requests, EachTwoCharacterRequestSendsItsPayload) {
  const std::pair<ConfigRequest, const char*> cases[] = {
      {ConfigRequest::kRead, "~R"}, {ConfigRequest::kTxOn, "~T"}, {ConfigRequest::kTxOff, "~t"}};
  for (const auto& [request, payload] : cases) {
    const uint8_t* bytes = RequestPayload(request);
    ASSERT_NE(bytes, nullptr) << payload;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), kRequestLength), payload);
  }
  EXPECT_EQ(RequestPayload(ConfigRequest::kWrite), nullptr);  // built from the record
}

TEST(Requests, DebugBoxShowsThePacketWithoutItsLastDigit) {
  EXPECT_EQ(DebugBoxText(BuildConfigPacket(DefaultConfig())),
            "Sent Config packet\n~WC3DBFB216000D");
}

}  // namespace

namespace {
TEST(AnswerWindow, ASetWindowJudgesAnswersLikeTheDefaultOne) {
  for (const auto& k : {std::make_pair(299u, true), std::make_pair(300u, false)}) {
    ConfigForm form;
    form.answerWindowMs = 300;
    form.WriteRequested(5000);
    const std::string ack = "\n+\r";
    EXPECT_EQ(Feed(form, ack, 5000 + k.first).statuses.size(), k.second ? 1u : 0u) << k.first;
    EXPECT_EQ(AnsweredInTime(5000, 5000 + k.first, 300), k.second);
  }
}
}  // namespace
