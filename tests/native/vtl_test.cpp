// vtl's own rules: the record's fields by name, FIELD=VALUE, the differences a verify
// reports, what a line on the link is, the JSON it prints, `vtl test`'s plans, its faults
// and its JUnit report.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/frame_text.h"
#include "tests/native/link_fixture.h"
#include "tools/vtl/frame_text.h"
#include "tools/vtl/json_writer.h"
#include "tools/vtl/record_text.h"
#include "tools/vtl/test_plan.h"
#include "tools/vtl/test_report.h"
#include "tools/vtl/unit_session.h"

namespace {

UnitConfig Hex(const std::string& hex) {
  uint8_t bytes[kConfigBytes];
  for (size_t i = 0; i < kConfigBytes; ++i) {
    bytes[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return ConfigFromBytes(bytes);
}

TEST(RecordText, DefaultsByName) {
  EXPECT_EQ(RecordHex(DefaultConfig(), true), "3C BD BF 12 06 00 0D");
  EXPECT_EQ(RecordAssignments(DefaultConfig()),
            "io=60 zvl=off split=off adcs=off preamble-ms=120 postamble-ms=40 protocol=64 "
            "use-avail=off dont-buffer-controls=off no-ctrl-byte=off nrz=off v22-tx-high=off "
            "rx-equalisation=off baud=1200");
  JsonObject o;
  AddRecord(&o, DefaultConfig());
  EXPECT_EQ(o.Text(),
            "{\"record\":\"3CBDBF1206000D\",\"io\":60,\"zvl\":\"off\",\"split\":false,"
            "\"adcs\":\"off\",\"preamble_ms\":120,\"postamble_ms\":40,\"protocol\":64,"
            "\"use_avail\":false,\"dont_buffer_controls\":false,\"no_ctrl_byte\":false,"
            "\"nrz\":false,\"v22_tx_high\":false,\"rx_equalisation\":false,\"baud\":1200,"
            "\"baud_code\":13}");
  const std::vector<RecordField> fields = DescribeRecord(DefaultConfig());
  EXPECT_EQ(fields[1].text, "not used (ID 61)");
  EXPECT_EQ(fields[7].label, "Use Avail. (EC5)");
}

TEST(RecordText, ABaudCodeWithoutARateSaysSo) {
  const std::vector<RecordField> fields = DescribeRecord(Hex("3CBDBF12060005"));
  EXPECT_EQ(fields.back().text, "9600 (code 5 has no rate of its own)");
  EXPECT_EQ(DescribeRecord(Hex("3CBDBF12060000")).back().text, "115200");
}

struct AssignmentCase {
  const char* start;
  const char* assignment;
  const char* expected;  // the record afterwards
};

class Assignments : public ::testing::TestWithParam<AssignmentCase> {};

TEST_P(Assignments, ChangeOnlyTheNamedField) {
  UnitConfig record = Hex(GetParam().start);
  std::string error;
  ASSERT_TRUE(ApplyAssignment(GetParam().assignment, &record, &error)) << error;
  EXPECT_EQ(RecordHex(record, false), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, Assignments,
    ::testing::Values(
        AssignmentCase{"3CBDBF1206000D", "io=5", "05BDBF1206000D"},
        AssignmentCase{"7CBDBF1206000D", "io=5", "45BDBF1206000D"},  // bit 6 stays
        AssignmentCase{"3CBDBF1206000D", "io=off", "BCBDBF1206000D"},  // the ID stays
        AssignmentCase{"3CFDBF1206000D", "zvl=12", "3C4CBF1206000D"},  // split stays
        AssignmentCase{"3CBDBF1206000D", "split=on", "3CFDBF1206000D"},
        AssignmentCase{"3CFDBF1206000D", "split=off", "3CBDBF1206000D"},
        AssignmentCase{"3CBDBF1206000D", "adcs=0", "3CBD001206000D"},
        AssignmentCase{"3CBDBF1206000D", "preamble-ms=103", "3CBDBF0F06000D"},
        AssignmentCase{"3CBDBF1206000D", "postamble-ms=1700", "3CBDBF12FF000D"},
        AssignmentCase{"3CBDBF1206000D", "postamble-ms=3", "3CBDBF1200000D"},
        AssignmentCase{"3CBDBF1206800D", "protocol=32", "3CBDBF1206900D"},  // bit 7 stays
        AssignmentCase{"3CBDBF1206100D", "protocol=64", "3CBDBF1206000D"},
        AssignmentCase{"3CBDBF1206000D", "rx-equalisation=on", "3CBDBF1206010D"},
        AssignmentCase{"3CBDBF1206000D", "v22-tx-high=on", "3CBDBF1206020D"},
        AssignmentCase{"3CBDBF1206000D", "nrz=on", "3CBDBF1206040D"},
        AssignmentCase{"3CBDBF1206000D", "no-ctrl-byte=on", "3CBDBF1206080D"},
        AssignmentCase{"3CBDBF1206000D", "use-avail=on", "3CBDBF1206200D"},
        AssignmentCase{"3CBDBF1206000D", "dont-buffer-controls=on", "3CBDBF1206400D"},
        AssignmentCase{"3CBDBF12067F0D", "nrz=off", "3CBDBF12067B0D"},
        AssignmentCase{"3CBDBF1206000D", "baud=115200", "3CBDBF12060000"},
        AssignmentCase{"3CBDBF1206000D", "baud=300", "3CBDBF1206000F"}));

TEST(Assignments, RefusedValuesNameTheFieldAndChangeNothing) {
  const struct {
    const char* assignment;
    const char* message;
  } cases[] = {
      {"io=64", "bad value '64' for io: expected 0 to 63 or off"},
      {"zvl=", "bad value '' for zvl"},
      {"adcs=+1", "bad value '+1' for adcs"},
      {"preamble-ms=1701", "expected 0 to 1700"},
      {"postamble-ms=99999999999", "for postamble-ms"},
      {"protocol=16", "expected 32 or 64"},
      {"nrz=1", "expected on or off"},
      {"baud=110", "a rate of the baud table"},
      {"baud=01200", "a rate of the baud table"},
      {"speed=9600", "unknown field 'speed'"},
      {"io", "'io' is not FIELD=VALUE"},
  };
  for (const auto& k : cases) {
    UnitConfig record = DefaultConfig();
    std::string error;
    EXPECT_FALSE(ApplyAssignment(k.assignment, &record, &error)) << k.assignment;
    EXPECT_NE(error.find(k.message), std::string::npos) << error;
    EXPECT_EQ(record, DefaultConfig());
  }
}

TEST(Fields, ChecksOfARecordTakeValuesAsSetTakesThem) {
  const struct {
    const char* name;
    const char* value;
    FieldCheck check;
    const char* actual;
  } cases[] = {
      {"io", "60", FieldCheck::kHolds, "60"},
      {"io", "61", FieldCheck::kDiffers, "60"},
      {"zvl", "off", FieldCheck::kHolds, "off"},
      {"zvl", "61", FieldCheck::kDiffers, "off"},
      {"preamble-ms", "121", FieldCheck::kHolds, "120"},  // the same 18 steps
      {"protocol", "32", FieldCheck::kDiffers, "64"},
      {"nrz", "off", FieldCheck::kHolds, "off"},
      {"baud", "9600", FieldCheck::kDiffers, "1200"},
      {"baud", "110", FieldCheck::kBad, ""},
      {"colour", "red", FieldCheck::kBad, ""},
  };
  for (const auto& k : cases) {
    std::string actual = "stale", error;
    EXPECT_EQ(CheckField(k.name, k.value, DefaultConfig(), &actual, &error), k.check)
        << k.name << "=" << k.value << " " << error;
    EXPECT_EQ(actual, k.actual) << k.name << "=" << k.value;
    EXPECT_EQ(error.empty(), k.check != FieldCheck::kBad) << error;
  }
}

TEST(Fields, TheHelpListsEveryFieldWithinItsWidth) {
  const std::string help = FieldsHelp(29, 82);
  for (const FieldRule& field : RecordFields()) {
    EXPECT_NE(help.find(std::string(" ") + field.name), std::string::npos) << field.name;
  }
  size_t start = 0;
  for (size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 82u) << help.substr(start, end - start);
  }
}

TEST(Differences, EachFieldOnceAndIgnoredBitsByByte) {
  EXPECT_TRUE(RecordDifferences(DefaultConfig(), DefaultConfig()).empty());
  EXPECT_EQ(RecordDifferences(Hex("3CBDBF1206000D"), Hex("7C3DBF1209100A")),
            (std::vector<std::string>{"zvl: wrote not used (ID 61), read 61",
                                      "postamble-ms: wrote 40, read 60",
                                      "protocol: wrote 64, read 32", "baud: wrote 1200, read 9600",
                                      "byte 0 (IO ID): wrote 3C, read 7C, bits the unit ignores"}));
  EXPECT_EQ(RecordDifferences(Hex("3CBDBF1206000D"), Hex("3CBDBF1206800D")),
            (std::vector<std::string>{
                "byte 5 (options): wrote 00, read 80, bits the unit ignores"}));
}

struct FrameCase {
  std::string line;
  const char* checksum;
  const char* kind;
  const char* detail;
};

TEST(DescribeFrame, EveryKindOfLine) {
  std::string badControls = FrameText("C00210000000");
  badControls[badControls.size() - 2] = '0';
  const FrameCase cases[] = {
      {"\n+\r", "none", "ACK", ""},
      {"\n-\r", "none", "NAK", ""},
      {FrameText("~R"), "ok", "read request", ""},
      {FrameText("~T"), "ok", "Tx on request", ""},
      {FrameText("~t"), "ok", "Tx off request", ""},
      {FrameText("~X"), "ok", "configuration channel, unknown command", ""},
      {FrameText("~WC3DBFB216000D0"), "ok", "configuration write",
       "record 3C BD BF 12 06 00 0D: io=60 zvl=off split=off adcs=off preamble-ms=120 "
       "postamble-ms=40 protocol=64 use-avail=off dont-buffer-controls=off no-ctrl-byte=off "
       "nrz=off v22-tx-high=off rx-equalisation=off baud=1200"},
      {FrameText("~r3105C3DBFB216000D0"), "ok", "read response",
       "Read complete (F/W v1.3), Dip Switch: 1 off, 2 on, 3 off, 4 -, VF, v.23, record 3C BD "
       "BF 12 06 00 0D: io=60 zvl=off split=off adcs=off preamble-ms=120 postamble-ms=40 "
       "protocol=64 use-avail=off dont-buffer-controls=off no-ctrl-byte=off nrz=off "
       "v22-tx-high=off rx-equalisation=off baud=1200"},
      {FrameText("~r3105C3DBFB216000D"), "ok", "read response",
       "Received invalid configuration (a 23-byte frame, not 24)"},
      {FrameText("C00210000000"), "ok", "controls", "32 bits 10000000 00000000 00000000 00000000 "},
      {badControls, "bad", "controls", "32 bits 10000000 00000000 00000000 00000000 "},
      {FrameText("C0041000000000000008"), "ok", "controls",
       "64 bits 10000000 00000000 00000000 00000000 00000000 00000000 00000000 00000001 "},
      {FrameText("C00010000000"), "ok", "controls", "width neither 32 nor 64"},
      {FrameText("I0041020000000000008:"), "ok", "indications",
       "64 bits 10000000 01000000 00000000 00000000 00000000 00000000 00000000 00000001 "},
      {FrameText("R"), "ok", "poll (indications asked for)", ""},
      {"\nA\r", "none", "type A", ""},
      {"\n+x\r", "none", "ACK (with more bytes)", ""},
      {FrameText("X"), "ok", "unknown type (dropped)", ""},
      {"C0021\r", "none", "not a frame (no line feed)", ""},
  };
  for (const FrameCase& k : cases) {
    const FrameMeaning m = DescribeFrame(reinterpret_cast<const uint8_t*>(k.line.data()),
                                         static_cast<uint8_t>(k.line.size()));
    EXPECT_STREQ(m.checksum, k.checksum) << k.line;
    EXPECT_EQ(m.kind, k.kind) << k.line;
    EXPECT_EQ(m.detail, k.detail) << k.line;
  }
}

TEST(Json, EveryByteOfAFrameBecomesValidJson) {
  const std::string bytes("\n\"\\\t\x01\x7F\xC3z\r", 9);
  EXPECT_EQ(JsonObject::Quote(bytes), "\"\\n\\\"\\\\\\t\\u0001\\u007f\\u00c3z\\r\"");
  EXPECT_EQ(QuotedBytes(reinterpret_cast<const uint8_t*>(bytes.data()), 9),
            "\"\\n\\\"\\\\\\x09\\x01\\x7F\\xC3z\\r\"");
  JsonObject o;
  o.Add("a", 1).Add("b", true).Add("d", std::vector<std::string>{"x", "y"});
  JsonObject more;
  more.Add("e", "f");
  EXPECT_EQ(o.Merge(more).Text(), "{\"a\":1,\"b\":true,\"d\":[\"x\",\"y\"],\"e\":\"f\"}");
}

// A unit played by the test on the far end of a pseudo-terminal: it reads each request
// frame and answers with the bytes given.
struct SessionCase {
  const char* name;
  char request;  // 'R' read, 'W' write the defaults, 'T' Tx on, 't' Tx off
  std::string answer;
  RequestResult result;
  bool acknowledged;
  // Controls and polls among the answer, handed on as they came: before the frame that
  // settles the request, so all of them by the time it returns.
  int otherFrames;
};

// A request waits its whole window only when the unit stays silent; a long one keeps a
// loaded machine's slow reader thread from making an answer late.
RequestOutcome Ask(UnitSession& unit, char request, ReadOutcome* read, RequestResult expected) {
  const uint32_t windowMs = expected == RequestResult::kNoAnswer ? 1000 : 10000;
  switch (request) {
    case 'R': return *read = unit.Read(windowMs);
    case 'W': return unit.WriteDefaults(windowMs);
    default: return unit.Tx(request == 'T', windowMs);
  }
}

TEST(UnitSession, EachRequestsOutcomeFromTheUnitsAnswer) {
  const std::string ack = "\n+\r", nak = "\n-\r";
  const std::string response = FrameText("~r3105C3DBFB216000D0");
  const std::string poll = FrameText("R"), controls = FrameText("C0020000000000");
  const SessionCase cases[] = {
      {"ReadAnswered", 'R', ack + response, RequestResult::kOk, true, 0},
      {"ReadAnsweredAmongOtherFrames", 'R', controls + ack + poll + response, RequestResult::kOk,
       true, 2},
      {"ReadRefused", 'R', nak, RequestResult::kRefused, false, 0},
      {"ReadAckedOnly", 'R', ack, RequestResult::kNoAnswer, true, 0},
      {"ReadUnanswered", 'R', "", RequestResult::kNoAnswer, false, 0},
      {"ReadResponseTooShort", 'R', ack + FrameText("~r3105C3DBFB216000D"),
       RequestResult::kInvalid, true, 0},
      {"WriteAcked", 'W', ack, RequestResult::kOk, false, 0},
      {"WriteRefused", 'W', poll + nak, RequestResult::kRefused, false, 1},
      {"TxOnAcked", 'T', ack, RequestResult::kOk, false, 0},
      {"TxOffRefused", 't', nak, RequestResult::kRefused, false, 0},
      {"TxUnanswered", 'T', "", RequestResult::kNoAnswer, false, 0},
  };
  for (const SessionCase& k : cases) {
    SCOPED_TRACE(k.name);
    PtyPair pty;
    UnitSession unit(pty.path);
    std::atomic<int> others{0};
    unit.onOtherFrame = [&](const ReceivedFrame&) { ++others; };
    std::string reason;
    ASSERT_TRUE(unit.Open(&reason)) << reason;
    std::thread peer([&] {
      pty.ReadUntil('\r');
      pty.Send(B(k.answer));
    });
    ReadOutcome read;
    const RequestOutcome out = Ask(unit, k.request, &read, k.result);
    peer.join();
    EXPECT_EQ(out.result, k.result);
    EXPECT_TRUE(out.sent);
    EXPECT_EQ(out.acknowledged, k.acknowledged);
    EXPECT_EQ(others, k.otherFrames);
    if (k.request == 'R' && k.result == RequestResult::kOk) {
      EXPECT_EQ(read.record, DefaultConfig());
      EXPECT_EQ(read.firmware, "1.3");
      EXPECT_EQ(read.dipSwitches, "1 off, 2 on, 3 off, 4 -, VF, v.23");
    }
    if (k.result == RequestResult::kInvalid) {
      EXPECT_EQ(read.invalidLength, 23);
    }
  }
}

// Sessions share nothing: units on several ports answered at once, each its own.
TEST(UnitSession, SessionsOnSeveralPortsAtOnce) {
  constexpr int kUnits = 4;
  PtyPair ptys[kUnits];
  std::vector<std::thread> threads;
  RequestResult results[kUnits] = {};
  for (int i = 0; i < kUnits; ++i) {
    threads.emplace_back([&, i] {
      UnitSession unit(ptys[i].path);
      std::string reason;
      results[i] = RequestResult::kPortLost;
      if (!unit.Open(&reason)) return;
      std::thread peer([&] {
        for (int n = 0; n < 20; ++n) {
          ptys[i].ReadUntil('\r');
          ptys[i].Send(B(i % 2 ? "\n-\r" : "\n+\r"));
        }
      });
      const RequestResult expected = i % 2 ? RequestResult::kRefused : RequestResult::kOk;
      results[i] = expected;
      for (int n = 0; n < 20; ++n) {
        const RequestResult r = unit.Tx(n % 2 == 0, 10000).result;
        if (r != expected) results[i] = r;
      }
      peer.join();
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kUnits; ++i) {
    EXPECT_EQ(results[i], i % 2 ? RequestResult::kRefused : RequestResult::kOk) << i;
  }
}

TEST(UnitSession, ALostPortSaysWhy) {
  PtyPair pty;
  UnitSession unit(pty.path);
  std::string reason;
  ASSERT_TRUE(unit.Open(&reason)) << reason;
  std::thread peer([&] {
    pty.ReadUntil('\r');
    ::close(pty.far);  // the device goes away while the request waits
    pty.far = -1;
  });
  const RequestOutcome out = unit.Tx(true, 5000);
  peer.join();
  EXPECT_EQ(out.result, RequestResult::kPortLost);
  EXPECT_EQ(out.reason, std::strerror(EIO));  // a hang-up's end of file, in the system's words
}

// A plan written to a file of its own, beside a site.vtl for its write steps.
class Plans : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  void SetUp() override {
    const uint8_t site[] = {0x0C, 0x14, 0xBF, 0x0F, 0x06, 0x00, 0x0A};
    std::ofstream(folder + "site.vtl", std::ios::binary)
        .write(reinterpret_cast<const char*>(site), sizeof site);
  }
  void TearDown() override {
    std::remove(path.c_str());
    std::remove((folder + "site.vtl").c_str());
  }
  const std::string folder = ::testing::TempDir();
  const std::string path = folder + "line-check.toml";
};

TEST_F(Plans, EveryKeyIsTaken) {
  Plan plan;
  std::string error;
  ASSERT_TRUE(ReadPlan(Write(R"(
timeout_ms = 700
keep_going = true
[[step]]
read = true
firmware = "1.3"
dip_switches = "1 on, 2 on, 3 on, 4 -, VF, v.22"
record = "3cbdbf1206000d"
fields = { io = 12, zvl = "off", split = false, preamble-ms = 100 }
max_answer_ms = 300
[[step]]
read = true
firmware_min = "1.2"
timeout_ms = 2000
[[step]]
write = "site.vtl"
verify = true
[[step]]
write = { io = 5, baud = 9600 }
[[step]]
default = true
[[step]]
tx = "off"
name = "transmitter off"
[[step]]
indications = "0102000000000080"
[[step]]
expect_controls = "1xxxxxxx 00000000 x1xxxxxx 00000000"
within_ms = 100
[[step]]
expect_poll = true
[[step]]
wait_ms = 0
[[step]]
faults = { nak_pct = 20, silent_pct = 5, bad_checksum_pct = 100, delay_ms = 50, seed = 9 }
[[step]]
faults = {}
)"), &plan, &error)) << error;
  EXPECT_EQ(plan.name, "line-check");
  EXPECT_EQ(plan.timeoutMs, 700u);
  EXPECT_TRUE(plan.keepGoing);
  ASSERT_EQ(plan.steps.size(), 12u);
  const PlanStep* s = plan.steps.data();
  EXPECT_EQ(s[0].name, "read, check firmware 1.3, dip switches, record 3cbdbf1206000d, fields");
  EXPECT_EQ(s[0].timeoutMs, 700u);
  EXPECT_EQ(s[0].maxAnswerMs, 300u);
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"io", "12"}, {"zvl", "off"}, {"split", "off"}, {"preamble-ms", "100"}};
  EXPECT_EQ(s[0].fields, fields);
  EXPECT_EQ(s[1].firmwareMin, "1.2");
  EXPECT_EQ(s[1].timeoutMs, 2000u);
  EXPECT_EQ(s[2].kind, StepKind::kWriteFile);
  EXPECT_EQ(RecordHex(s[2].written, false), "0C14BF0F06000A");
  EXPECT_TRUE(s[2].verify);
  EXPECT_EQ(s[3].kind, StepKind::kWriteFields);
  EXPECT_EQ(s[3].name, "set io=5 baud=9600");
  EXPECT_EQ(s[4].kind, StepKind::kDefault);
  EXPECT_FALSE(s[5].txOn);
  EXPECT_EQ(s[5].name, "transmitter off");
  EXPECT_TRUE(s[6].wideIndications);
  EXPECT_EQ(s[6].indications[1], 0x02);
  EXPECT_EQ(s[6].indications[7], 0x80);
  EXPECT_EQ(s[7].controls, "1xxxxxxx00000000x1xxxxxx00000000");
  EXPECT_EQ(s[7].withinMs, 100u);
  EXPECT_EQ(s[8].withinMs, 5000u);
  EXPECT_EQ(s[10].name, "faults: nak 20 %, silent 5 %, bad checksum 100 %, delay 50 ms, seed 9");
  EXPECT_EQ(s[11].name, "faults: none");
}

TEST_F(Plans, ErrorsNameTheLineColumnAndKey) {
  struct {
    const char* toml;
    const char* error;  // after the file's path
  } const cases[] = {
      {"name = \n", ":1:8: "},  // bad TOML, toml++'s own words after the place
      {"colour = 1\n[[step]]\nread = true\n", ":1:1: key 'colour': unknown key"},
      {"timeout_ms = \"1s\"\n", ":1:14: key 'timeout_ms': expected an integer, not a string"},
      {"timeout_ms = 0\n", ":1:14: key 'timeout_ms': 0 is out of range (1 to 60000)"},
      {"keep_going = 1\n", ":1:14: key 'keep_going': expected true or false"},
      {"name = \"x\"\n", "key 'step': the plan has no [[step]]"},
      {"step = 3\n", ":1:8: key 'step': expected [[step]] tables, not an integer"},
      {"[[step]]\nname = \"x\"\n", ":1:1: step 1, key 'step': no action"},
      {"[[step]]\nread = true\n[[step]]\nread = true\ntx = \"on\"\n",
       ":5:6: step 2, key 'tx': a step takes one action, and this one has 'read' already"},
      {"[[step]]\nread = false\n", ":2:8: step 1, key 'read': only true is meaningful here"},
      {"[[step]]\ntx = \"up\"\n", ":2:6: step 1, key 'tx': expected \"on\" or \"off\""},
      {"[[step]]\ntx = \"on\"\nverify = true\n",
       ":3:1: step 1, key 'verify': does not go with 'tx'"},
      {"[[step]]\nread = true\ncolour = 1\n", ":3:1: step 1, key 'colour': unknown key"},
      {"[[step]]\nread = true\nfirmware = \"13\"\n",
       ":3:12: step 1, key 'firmware': expected a version like \"1.3\""},
      {"[[step]]\nread = true\nfirmware = \"1.3\"\nfirmware_min = \"1.2\"\n",
       "step 1, key 'firmware_min': give firmware or firmware_min, not both"},
      {"[[step]]\nread = true\nrecord = \"3CBD\"\n",
       ":3:10: step 1, key 'record': expected 14 hex digits"},
      {"[[step]]\nread = true\nfields = { io = 64 }\n",
       ":3:17: step 1, key 'fields.io': bad value '64' for io"},
      {"[[step]]\nread = true\nfields = { colour = 1 }\n",
       ":3:21: step 1, key 'fields.colour': unknown field 'colour'"},
      {"[[step]]\nread = true\nfields = { io = 1.5 }\n",
       ":3:17: step 1, key 'fields.io': expected a number, a string or true/false"},
      {"[[step]]\nwrite = {}\n", ":2:9: step 1, key 'write': names no field"},
      {"[[step]]\nwrite = \"missing.vtl\"\n", ":2:9: step 1, key 'write': "},
      {"[[step]]\nindications = \"0102\"\n",
       ":2:15: step 1, key 'indications': expected 8 or 16 hex digits"},
      {"[[step]]\nindications = \"0102000G\"\n", "key 'indications': expected 8 or 16"},
      {"[[step]]\nexpect_controls = \"1x\"\n",
       ":2:19: step 1, key 'expect_controls': 2 positions; expected 32 or 64"},
      {"[[step]]\nexpect_controls = \"1x2\"\n", "'2' is not 0, 1 or x"},
      {"[[step]]\nexpect_poll = true\nwithin_ms = 0\n",
       ":3:13: step 1, key 'within_ms': 0 is out of range"},
      {"[[step]]\nwait_ms = -1\n", ":2:11: step 1, key 'wait_ms': -1 is out of range"},
      {"[[step]]\nfaults = 5\n", ":2:10: step 1, key 'faults': expected a table"},
      {"[[step]]\nfaults = { nak_pct = 101 }\n",
       ":2:22: step 1, key 'faults.nak_pct': 101 is out of range (0 to 100)"},
      {"[[step]]\nfaults = { delay_ms = 10001 }\n", "key 'faults.delay_ms': 10001 is out"},
      {"[[step]]\nfaults = { jitter = 1 }\n", ":2:12: step 1, key 'faults.jitter': unknown key"},
      {"[[step]]\ntx = \"on\"\nmax_answer_ms = 0\n", ":3:17: step 1, key 'max_answer_ms'"},
  };
  for (const auto& c : cases) {
    Plan plan;
    std::string error;
    EXPECT_FALSE(ReadPlan(Write(c.toml), &plan, &error)) << c.toml;
    EXPECT_EQ(error.rfind(path, 0), 0u) << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.toml << "\n" << error;
  }
}

TEST_F(Plans, AMissingPlanSaysWhy) {
  Plan plan;
  std::string error;
  EXPECT_FALSE(ReadPlan(folder + "no-such-plan.toml", &plan, &error));
  EXPECT_NE(error.find("no-such-plan.toml: cannot open the plan ("), std::string::npos) << error;
}

// The counts after each of many answers, for one seed.
std::vector<unsigned long> FaultSequence(const FaultOptions& options) {
  FaultInjector faults;
  faults.Set(options);
  FrameCodec unopened;  // nothing is written; the faults are drawn and counted alike
  std::vector<unsigned long> sequence;
  const uint8_t payload[] = {'I', '0', '0', '2'};
  for (int i = 0; i < 400; ++i) {
    if (i % 2) {
      faults.SendAck(&unopened, true);
    } else {
      faults.SendIndications(&unopened, payload, sizeof payload);
    }
    const FaultCounts c = faults.Counts();
    sequence.push_back(c.naks * 1000000 + c.silences * 1000 + c.badChecksums);
  }
  return sequence;
}

TEST(Faults, SeededRunsRepeatAndEveryFaultIsCounted) {
  FaultOptions options;
  options.nakPct = 30;
  options.silentPct = 10;
  options.badChecksumPct = 50;
  options.seed = 42;
  const std::vector<unsigned long> first = FaultSequence(options);
  EXPECT_EQ(FaultSequence(options), first);
  options.seed = 43;
  EXPECT_NE(FaultSequence(options), first);
  // 200 ACKs and 200 indications answers: silences of all 400, NAKs of the ACKs left,
  // bad checksums of the answers left; each share near its percentage.
  const unsigned long last = first.back();
  const unsigned long naks = last / 1000000, silences = last / 1000 % 1000, bad = last % 1000;
  EXPECT_NEAR(silences, 40, 20);
  EXPECT_NEAR(naks, 54, 25);
  EXPECT_NEAR(bad, 90, 30);

  FaultInjector none;
  FrameCodec unopened;
  for (int i = 0; i < 50; ++i) none.SendAck(&unopened, true);
  EXPECT_EQ(none.Counts().Total(), 0u);
  FaultOptions delayed;
  delayed.delayMs = 1;
  delayed.silentPct = 100;
  none.Set(delayed);
  none.SendAck(&unopened, true);
  EXPECT_EQ(none.Counts().Text(), "1 silence");  // a silent answer is not also delayed
}

TEST(JUnit, CountsEscapesAndOneCasePerStep) {
  UnitResult unit;
  unit.port = "COM3";
  unit.opened = true;
  unit.firmware = "1.3";
  StepResult pass, fail, skip;
  pass.number = 1;
  pass.name = "read <all>";
  pass.verdict = Verdict::kPass;
  pass.answerMs = {12, 30};
  fail.number = 2;
  fail.name = "write";
  fail.verdict = Verdict::kFail;
  fail.reason = "dip switches \"1 off\", expected & more";
  fail.faults.naks = 2;
  skip.number = 3;
  skip.name = "tx on";
  skip.reason = "an earlier step failed";
  unit.steps = {pass, fail, skip};
  UnitResult lost = unit;
  lost.port = "COM4";
  lost.steps[1].verdict = Verdict::kError;
  const std::string xml = JUnitXml("line 'A'", {unit, lost});
  for (const char* expected : {
           "<testsuites name=\"line &apos;A&apos;\" tests=\"6\" failures=\"1\" errors=\"1\" skipped=\"2\"",
           "<testsuite name=\"COM3\" tests=\"3\" failures=\"1\" errors=\"0\" skipped=\"1\"",
           "<testcase name=\"1 read &lt;all&gt;\" classname=\"line &apos;A&apos;.COM3\"",
           "<property name=\"answer_ms\" value=\"12 30\"/>",
           "<property name=\"max_answer_ms\" value=\"30\"/>",
           "<property name=\"faults\" value=\"2 NAKs\"/>",
           "<failure message=\"dip switches &quot;1 off&quot;, expected &amp; more\"",
           "<error message=", "<skipped message=\"an earlier step failed\"/>",
           "classname=\"line &apos;A&apos;.COM4\""}) {
    EXPECT_NE(xml.find(expected), std::string::npos) << expected << "\n" << xml;
  }
  EXPECT_FALSE(unit.Passed());
}

}  // namespace
