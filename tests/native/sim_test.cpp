// The unit simulator, driven over pseudo-terminals: raw bytes from the test for exact
// replies, and the tool's own frame codec as the far end for whole exchanges.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "config/config_file.h"
#include "config/unit_config.h"
#include "link/frame_codec.h"
#include "link/hex.h"
#include "tests/native/link_fixture.h"
#include "tools/unit_sim/sim_line.h"
#include "tools/unit_sim/sim_options.h"
#include "tools/unit_sim/unit_simulator.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const Bytes kAck = {0x0A, '+', 0x0D};
const Bytes kNak = {0x0A, '-', 0x0D};

// Polls a condition until it holds or five seconds have passed.
bool WaitFor(const std::function<bool()>& condition) {
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

SimOptions Quiet() {
  SimOptions o;
  o.controlsPeriodMs = 0;
  o.pollPeriodMs = 0;
  o.seed = 1;
  return o;
}

// Keeps the simulator's output lines for the test to look at.
struct OutputLines {
  std::mutex mutex;
  std::vector<std::string> lines;
  UnitSimulator::Output Sink() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mutex);
      lines.push_back(line);
    };
  }
  size_t Containing(const std::string& text) {
    std::lock_guard<std::mutex> hold(mutex);
    size_t n = 0;
    for (const std::string& l : lines) n += l.find(text) != std::string::npos;
    return n;
  }
};

// Up to count bytes from fd, waiting up to timeoutMs for each.
Bytes ReadFrom(int fd, size_t count, int timeoutMs = 5000) {
  Bytes got;
  while (got.size() < count) {
    pollfd in = {fd, POLLIN, 0};
    if (::poll(&in, 1, timeoutMs) <= 0) break;
    uint8_t b;
    if (::read(fd, &b, 1) != 1) break;
    got.push_back(b);
  }
  return got;
}

// The simulator on one end of a pty; the test reads and writes raw bytes at the other.
class SimOnDevice : public ::testing::Test {
 protected:
  void StartWith(SimOptions options) {
    ASSERT_FALSE(pty.path.empty());
    options.device = pty.path;
    sim.reset(new UnitSimulator(options, out.Sink()));
    std::string error;
    ASSERT_TRUE(sim->Start(&error)) << error;
  }
  Bytes Read(size_t count) { return ReadFrom(pty.far, count); }
  PtyPair pty;
  OutputLines out;
  std::unique_ptr<UnitSimulator> sim;
};

struct ChannelCase {
  const char* name;
  Bytes input;
  Bytes reply;
  UnitConfig recordAfter;
  bool transmitterAfter;
};

TEST_F(SimOnDevice, ConfigurationChannelAnswersByteForByte) {
  SimOptions o = Quiet();
  o.firmwareMajor = '2';
  o.firmwareMinor = '7';
  o.dipSwitches = 5;
  StartWith(o);
  const UnitConfig defaults = DefaultConfig();
  const UnitConfig written{0x01, 0x42, 0x83, 0x0F, 0xF0, 0x7F, 0x0A};
  const auto join = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const ChannelCase cases[] = {
      {"read", Framed("~R"), join(kAck, Framed("~r7215C3DBFB216000D0")), defaults, true},
      {"read with digits swapped", B("\n~RDA\r"), kNak, defaults, true},
      {"write of 13 digits", Framed("~W10240830FF0F7"), kNak, defaults, true},
      {"write of 15 digits", Framed("~W10240830FF0F7A00"), kNak, defaults, true},
      {"write with a non-digit", Framed("~W1024083GFF0F7A0"), kNak, defaults, true},
      {"unknown command", Framed("~X"), kNak, defaults, true},
      {"read with trailing bytes", Framed("~Rx"), kNak, defaults, true},
      {"tx on with trailing bytes", Framed("~Tx"), kNak, defaults, true},
      {"write", Framed("~W102438F00FF7A0"), kAck, written, true},
      {"read back", Framed("~R"), join(kAck, Framed("~r7215" "102438F00FF7A0")), written, true},
      {"write in lower case", Framed("~Wc3dbfb216000d0"), kAck, defaults, true},
      {"tx off", Framed("~t"), kAck, defaults, false},
      {"read shows tx off", Framed("~R"), join(kAck, Framed("~r7205C3DBFB216000D0")), defaults,
       false},
      {"tx on", Framed("~T"), kAck, defaults, true},
      {"indications", Framed("I00210200000:"), kAck, defaults, true},
      {"indications with bad checksum", B("\nI00210200000:00\r"), kNak, defaults, true},
  };
  for (const ChannelCase& c : cases) {
    SCOPED_TRACE(c.name);
    pty.Send(c.input);
    EXPECT_EQ(Read(c.reply.size()), c.reply);
    EXPECT_EQ(sim->Config(), c.recordAfter);
    EXPECT_EQ(sim->TransmitterOn(), c.transmitterAfter);
  }
  // Nothing beyond the expected replies came: the next answer is the very next bytes.
  pty.Send(Framed("~T"));
  EXPECT_EQ(Read(3), kAck);
}

TEST_F(SimOnDevice, NoiseAndTheToolsOwnAnswersGetNoReply) {
  StartWith(Quiet());
  // Bytes with no line feed, an over-long configuration line (cut to 64 bytes, so its
  // checksum fails: NAK), the tool's ACK and NAK, and frames of types the unit does
  // not take (no reply).
  Bytes noise = B("junk\r");
  noise.push_back(0x0A);
  for (int i = 0; i < 100; ++i) noise.push_back('~');
  noise.push_back(0x0D);
  for (const Bytes& b : {noise, kAck, kNak, Framed("C00200000000"), Framed("R")}) pty.Send(b);
  pty.Send(Framed("~T"));
  EXPECT_EQ(Read(6), B("\n-\r\n+\r"));
  EXPECT_TRUE(WaitFor([&] { return out.Containing("not a frame, dropped") == 1; }));
}

TEST_F(SimOnDevice, DelayedAnswersComeNoSoonerThanAsked) {
  SimOptions o = Quiet();
  o.delayMs = 300;
  StartWith(o);
  const auto sent = Clock::now();
  pty.Send(Framed("~T"));
  EXPECT_EQ(Read(3), kAck);
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(300));
  EXPECT_EQ(out.Containing("fault: answer (ACK) held back 300 ms"), 1u);
}

// The line's pace in figures: each byte ends 1/240 s after the one before; bytes handed
// over while the line is busy queue behind it, and after a pause the line starts anew.
TEST(LinePace, BytesFollowOneAnotherAtTheLinesRate) {
  using std::chrono::microseconds;
  const auto since = [](LinePace::Clock::time_point start, LinePace::Clock::time_point t) {
    return std::chrono::duration_cast<microseconds>(t - start).count();
  };
  LinePace pace;
  const LinePace::Clock::time_point t0{};
  const auto start = t0 + std::chrono::seconds(10);
  auto ends = pace.Take(3, start);
  EXPECT_EQ(since(start, ends[0]), 4166);
  EXPECT_EQ(since(start, ends[2]), 12500);
  // Handed over 1 ms in, while the first three are still crossing.
  ends = pace.Take(2, start + microseconds(1000));
  EXPECT_EQ(since(start, ends[1]), 20833);
  // 240 bytes in all take exactly one second: no rounding piles up.
  ends = pace.Take(235, start + microseconds(2000));
  EXPECT_EQ(since(start, ends.back()), 1000000);
  // Idle since: the next byte starts when it is handed over.
  const auto later = start + std::chrono::seconds(5);
  EXPECT_EQ(since(later, pace.Take(1, later)[0]), 4166);
  EXPECT_TRUE(pace.Take(0, later).empty());
}

// Units that answer some requests or none: each request is either answered as usual
// or gets no answer at all and is not carried out, a fault counted and told.
TEST(SimFaults, SilentAndHungUnitsLeaveRequestsUnansweredAndUndone) {
  const struct {
    const char* name;
    unsigned silentPercent;
    unsigned stopAfter;
    std::vector<bool> answered;  // per request, in turn Tx off and Tx on
    const char* told;
  } cases[] = {
      {"stops after 2", 0, 2, {true, true, false, false}, "fault: no answer (Tx off; stopped after 2 requests)"},
      {"silent to all", 100, 0, {false, false}, "fault: no answer (Tx off not carried out)"},
      {"no limit", 0, 0, {true, true, true, true, true}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair pty;
    SimOptions o = Quiet();
    o.device = pty.path;
    o.silentPercent = c.silentPercent;
    o.stopAfter = c.stopAfter;
    OutputLines out;
    UnitSimulator sim(o, out.Sink());
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    bool on = true;
    uint64_t unanswered = 0;
    for (size_t i = 0; i < c.answered.size(); ++i) {
      const bool txOn = i % 2 == 1;
      pty.Send(Framed(txOn ? "~T" : "~t"));
      if (c.answered[i]) {
        EXPECT_EQ(ReadFrom(pty.far, 3), kAck);
        on = txOn;
      } else {
        ++unanswered;
        ASSERT_TRUE(WaitFor([&] { return sim.FaultsInjected() == unanswered; }));
      }
      EXPECT_EQ(sim.TransmitterOn(), on);
    }
    sim.Stop();
    EXPECT_EQ(sim.FaultsInjected(), unanswered);
    if (c.told) {
      EXPECT_EQ(out.Containing(c.told), 1u);
    }
    // Nothing was written beyond the answers read.
    EXPECT_EQ(ReadFrom(pty.far, 1, 0), Bytes{});
  }
}

// The tool's frame codec at the far end of the simulator's own pseudo-terminal.
class SimWithCodec : public ::testing::Test {
 protected:
  void StartWith(const SimOptions& options) {
    sim.reset(new UnitSimulator(options, out.Sink()));
    std::string error;
    ASSERT_TRUE(sim->Start(&error)) << error;
    sink.respond = true;
    codec.SetSink(&sink);
    ASSERT_TRUE(codec.OpenPort(sim->LinePath().c_str()));
  }
  void TearDown() override {
    codec.ClosePort();
    if (sim) sim->Stop();
  }
  void Send(const uint8_t* payload, size_t length) {
    ASSERT_TRUE(codec.SendFrame(payload, static_cast<uint32_t>(length)));
  }
  void Send(const std::string& payload) {
    Send(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  }
  std::vector<Bytes> Frames() {
    std::lock_guard<std::mutex> hold(sink.mutex);
    return sink.frames;
  }
  size_t FramesOfType(uint8_t type) {
    size_t n = 0;
    for (const Bytes& f : Frames()) n += f.size() > 1 && f[1] == type;
    return n;
  }
  OutputLines out;
  std::unique_ptr<UnitSimulator> sim;
  RecordingSink sink;
  FrameCodec codec;
};

TEST_F(SimWithCodec, ReadExchangeDecodesToTheRecordAndDipSwitches) {
  SimOptions o = Quiet();
  o.dipSwitches = 5;
  StartWith(o);
  Send(kReadRequest, kRequestLength);
  ASSERT_TRUE(WaitFor([&] { return Frames().size() == 2; }));
  const std::vector<Bytes> frames = Frames();
  EXPECT_EQ(frames[0], kAck);
  ReadResponse response{};
  ASSERT_EQ(DecodeReadResponse(frames[1].data(), static_cast<uint8_t>(frames[1].size()), &response),
            ReadResponseStatus::kValid);
  EXPECT_STREQ(response.statusText, "Read complete (F/W v1.3)");
  EXPECT_STREQ(response.daughterBoardText, "Dip Switch: 1 off, 2 on, 3 off, 4 -, VF, v.23");
  EXPECT_EQ(response.config, DefaultConfig());
  // The codec acknowledged the response, and the unit saw that ACK.
  EXPECT_TRUE(WaitFor([&] { return sim->FramesIn() == 2; }));
}

TEST_F(SimWithCodec, WriteIsKeptSavedAndReadBack) {
  char folder[] = "/tmp/vtl-sim-test-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/unit.vtl";
  ASSERT_EQ(SaveConfigFile(file.c_str(), DefaultConfig()), ConfigFileError::kNone);
  SimOptions o = Quiet();
  o.configFile = file;
  o.saveConfig = true;
  StartWith(o);

  const UnitConfig record{0x05, 0x4A, 0x80, 0x20, 0x0A, kZvl32Bits | kNrz, 0x0C};
  const ConfigPacket packet = BuildConfigPacket(record);
  Send(packet.data(), packet.size());
  Send(kReadRequest, kRequestLength);
  ASSERT_TRUE(WaitFor([&] { return Frames().size() == 3; }));
  EXPECT_EQ(Frames()[0], kAck);
  ReadResponse response{};
  const Bytes reply = Frames()[2];
  ASSERT_EQ(DecodeReadResponse(reply.data(), static_cast<uint8_t>(reply.size()), &response),
            ReadResponseStatus::kValid);
  EXPECT_EQ(response.config, record);

  UnitConfig saved{};
  EXPECT_EQ(LoadConfigFile(file.c_str(), &saved), ConfigFileError::kNone);
  EXPECT_EQ(saved, record);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

TEST_F(SimWithCodec, IndicationsAreRememberedAtTheirWidth) {
  StartWith(Quiet());
  Send("I00210200000:");
  ASSERT_TRUE(WaitFor([&] { return sim->IndicationsWidth() == 32; }));
  EXPECT_EQ(sim->Indications(), (std::vector<uint8_t>{0x01, 0x02, 0, 0, 0, 0, 0, 0}));
  Send("I004FFFFFFFF00000008:");
  ASSERT_TRUE(WaitFor([&] { return sim->IndicationsWidth() == 64; }));
  EXPECT_EQ(sim->Indications(),
            (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80}));
  ASSERT_TRUE(WaitFor([&] { return FramesOfType('+') == 2; }));
  EXPECT_TRUE(WaitFor([&] {
    return out.Containing("indications 11111111 11111111 11111111 11111111 00000000") == 1;
  }));
}

TEST_F(SimWithCodec, ControlsAndPollsArriveAsValidFrames) {
  SimOptions o = Quiet();
  o.controlsPeriodMs = 10;
  o.controlsWidth = 64;
  o.pattern = ControlsPattern::kFixed;
  const uint8_t fixed[8] = {1, 2, 3, 4, 5, 6, 7, 0x80};
  std::copy(fixed, fixed + 8, o.fixedControls);
  o.pollPeriodMs = 15;
  StartWith(o);
  ASSERT_TRUE(WaitFor([&] { return FramesOfType('C') >= 3 && FramesOfType('R') >= 2; }));
  for (const Bytes& f : Frames()) {
    if (f[1] == 'C') {
      EXPECT_EQ(f, Framed("C0041020304050607008:"));
    } else if (f[1] == 'R') {
      EXPECT_EQ(f, Framed("R"));
    }
  }
  // The codec acknowledged the controls (respond is on), and the unit saw it.
  EXPECT_TRUE(WaitFor([&] { return out.Containing("rx \"\\n+\\r\" ACK") >= 3; }));
}

TEST_F(SimWithCodec, NakFaultRefusesAndChangesNothing) {
  SimOptions o = Quiet();
  o.nakPercent = 100;
  StartWith(o);
  Send(kTxOffRequest, kRequestLength);
  const ConfigPacket packet = BuildConfigPacket(UnitConfig{1, 2, 3, 4, 5, 6, 7});
  Send(packet.data(), packet.size());
  Send(kReadRequest, kRequestLength);
  ASSERT_TRUE(WaitFor([&] { return FramesOfType('-') == 3; }));
  EXPECT_EQ(Frames().size(), 3u);  // no read response after a refused read
  EXPECT_TRUE(sim->TransmitterOn());
  EXPECT_EQ(sim->Config(), DefaultConfig());
  EXPECT_EQ(sim->FaultsInjected(), 3u);
}

TEST_F(SimWithCodec, BadChecksumFaultGetsTheToolsNak) {
  SimOptions o = Quiet();
  o.badChecksumPercent = 100;
  o.controlsPeriodMs = 10;
  StartWith(o);
  // The codec drops every controls frame and answers each with NAK.
  ASSERT_TRUE(WaitFor([&] { return out.Containing("rx \"\\n-\\r\" NAK") >= 3; }));
  EXPECT_EQ(FramesOfType('C'), 0u);
  EXPECT_GE(out.Containing("fault: bad checksum on controls"), 3u);
}

TEST_F(SimWithCodec, LineNoiseAndSplitFramesStillDeliverEveryFrame) {
  SimOptions o = Quiet();
  o.garbagePercent = 100;
  o.longLinePercent = 100;
  o.splitPercent = 100;
  o.floodRate = 200;
  o.floodFrames = 20;
  StartWith(o);
  ASSERT_TRUE(WaitFor([&] { return FramesOfType('C') == 20; }));
  EXPECT_EQ(Frames().size(), 20u);  // the noise reached no page
  // The unit counts a frame once its last piece is written, which may be after the
  // codec has it.
  EXPECT_TRUE(WaitFor([&] { return sim->FramesOut() == 20u; })) << sim->FramesOut();
  EXPECT_EQ(sim->FaultsInjected(), 60u);
}

TEST_F(SimWithCodec, FloodOfValidFramesLosesNone) {
  SimOptions o = Quiet();
  o.floodRate = 2000;
  o.floodFrames = 300;
  o.pattern = ControlsPattern::kCount;
  StartWith(o);
  ASSERT_TRUE(WaitFor([&] { return FramesOfType('C') == 300; }));
  // The count pattern numbers the frames, so order and completeness both show.
  const std::vector<Bytes> frames = Frames();
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(HexByte(frames[i][5], frames[i][6]), static_cast<uint8_t>(i)) << i;
  }
}

// Parses the arguments (the program name is added); *error holds the message.
ParseResult Parse(const std::vector<const char*>& args, SimOptions* options, std::string* error) {
  std::vector<const char*> argv = {"vtl-unit-sim"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseSimOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(SimOptionsParsing, RejectsBadInputWithAMessage) {
  const struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--bogus=3"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"--device"}, "option --device needs a value"},
      // An option name where a value belongs is the value left out, not a device.
      {{"--device", "--run-for", "300"}, "option --device needs a value, not the option '--run-for'"},
      {{"--config", "--save-config"}, "option --config needs a value, not the option '--save-config'"},
      {{"--seed", "-h"}, "option --seed needs a value, not the option '-h'"},
      {{"--quiet=yes"}, "option --quiet takes no value"},
      {{"--nak", "101"}, "option --nak: '101' is not a percentage 0-100"},
      {{"--nak=abc"}, "option --nak: 'abc' is not a percentage 0-100"},
      {{"--controls-width", "48"}, "option --controls-width: '48' is not 32 or 64"},
      {{"--controls-pattern", "fixed:12"}, "is not walk, count, random or fixed:HEX"},
      {{"--controls-pattern", "fixed:0102030405060G80"}, "is not walk, count, random or fixed:HEX"},
      {{"--dip", "8"}, "is not a dip-switch value 0-7"},
      {{"--firmware", "13"}, "is not a version X.Y"},
      {{"--firmware", "a.b"}, "is not a version X.Y (a digit, a point and a digit)"},
      {{"--firmware", "1.3.0"}, "is not a version X.Y"},
      {{"--firmware", "1,3"}, "is not a version X.Y"},
      {{"--delay", "-5"}, "is not a delay in ms"},
      {{"--silent", "101"}, "option --silent: '101' is not a percentage 0-100"},
      {{"--stop-after", "some"}, "option --stop-after: 'some' is not a request count"},
      {{"--peer-wait", "3s"}, "option --peer-wait: '3s' is not a time in ms"},
      {{"--line-rate=2400"}, "option --line-rate takes no value"},
      {{"--seed", "4294967296"}, "is not a number"},
      {{"--device="}, "'' is not a device path"},
      {{"--wine-prefix", "/tmp/p"}, "--wine-prefix needs --com N"},
      {{"--com", "3"}, "--com needs --wine-prefix DIR"},
      {{"--device", "/dev/ttyS0", "--wine-prefix", "/tmp/p", "--com", "1"}, "cannot be used with --device"},
      {{"--save-config"}, "--save-config needs --config FILE"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--nak", "5", "stray"}, "unexpected argument 'stray'"},
  };
  for (const auto& c : cases) {
    SimOptions options;
    options.nakPercent = 77;
    std::string error;
    EXPECT_EQ(Parse(c.args, &options, &error), ParseResult::kError) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(options.nakPercent, 77u) << "a refused command line changes nothing";
  }
}

TEST(SimOptionsParsing, TakesEveryValueInEitherSpelling) {
  for (const bool joined : {false, true}) {
    std::vector<std::string> words;
    for (const auto& pair : std::vector<std::pair<std::string, std::string>>{
             {"--firmware", "4.2"}, {"--dip", "3"}, {"--controls-pattern", "fixed:0102030405060780"},
             {"--controls-width", "64"}, {"--flood", "50"}, {"--split", "30"}, {"--run-for", "100"},
             {"--device", "/dev/ttyUSB0"}, {"--config", "a=b.vtl"}, {"--silent", "20"},
             {"--stop-after", "3"}, {"--peer-wait", "250"}}) {
      if (joined) {
        words.push_back(pair.first + "=" + pair.second);
      } else {
        words.push_back(pair.first);
        words.push_back(pair.second);
      }
    }
    words.push_back("--quiet");
    words.push_back("--line-rate");
    std::vector<const char*> args;
    for (const std::string& w : words) args.push_back(w.c_str());
    SimOptions o;
    std::string error;
    ASSERT_EQ(Parse(args, &o, &error), ParseResult::kRun) << error;
    EXPECT_EQ(o.firmwareMajor, '4');
    EXPECT_EQ(o.firmwareMinor, '2');
    EXPECT_EQ(o.dipSwitches, 3);
    EXPECT_EQ(o.pattern, ControlsPattern::kFixed);
    EXPECT_EQ(o.fixedControls[0], 0x01);
    EXPECT_EQ(o.fixedControls[7], 0x80);
    EXPECT_EQ(o.controlsWidth, 64u);
    EXPECT_EQ(o.floodRate, 50u);
    EXPECT_EQ(o.splitPercent, 30u);
    EXPECT_EQ(o.runForMs, 100u);
    EXPECT_EQ(o.device, "/dev/ttyUSB0");
    EXPECT_EQ(o.configFile, "a=b.vtl");
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.silentPercent, 20u);
    EXPECT_EQ(o.stopAfter, 3u);
    EXPECT_EQ(o.peerWaitMs, 250u);
    EXPECT_TRUE(o.lineRate);
  }
  // Said outright with "=", a value may look like an option.
  SimOptions o;
  std::string error;
  ASSERT_EQ(Parse({"--config=--odd.vtl"}, &o, &error), ParseResult::kRun) << error;
  EXPECT_EQ(o.configFile, "--odd.vtl");
  // A second parse starts afresh, and help wins wherever it stands.
  EXPECT_EQ(Parse({"--nak", "5", "--help"}, &o, &error), ParseResult::kHelp);
  EXPECT_EQ(Parse({"-h"}, &o, &error), ParseResult::kHelp);
  EXPECT_EQ(Parse({"--nak", "5", "--version"}, &o, &error), ParseResult::kVersion);
  ASSERT_EQ(Parse({"--nak", "5"}, &o, &error), ParseResult::kRun) << error;
  EXPECT_EQ(o.nakPercent, 5u);
}

TEST(SimOwnPty, NotesALineThatNobodyOpenedAfterItsWait) {
  OutputLines unopened, opened, never;
  SimOptions shortWait = Quiet(), longerWait = Quiet(), noWait = Quiet();
  shortWait.peerWaitMs = 100;
  longerWait.peerWaitMs = 1000;  // ample for the open that follows its start
  noWait.peerWaitMs = 0;
  UnitSimulator lonely(shortWait, unopened.Sink());
  UnitSimulator attended(longerWait, opened.Sink());
  UnitSimulator unasked(noWait, never.Sink());
  std::string error;
  ASSERT_TRUE(attended.Start(&error)) << error;
  const int tool = ::open(attended.LinePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(tool, 0);
  ASSERT_TRUE(lonely.Start(&error)) << error;
  ASSERT_TRUE(unasked.Start(&error)) << error;
  const std::string note = "note: nobody has opened " + lonely.LinePath() + " in the 100 ms since start";
  ASSERT_TRUE(WaitFor([&] { return unopened.Containing(note) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(opened.Containing("nobody has opened"), 0u);
  EXPECT_EQ(never.Containing("nobody has opened"), 0u);
  EXPECT_EQ(unopened.Containing("nobody has opened"), 1u);  // said once
  ::close(tool);
}

TEST(SimDeviceErrors, NameTheSystemsReasonAndTheGroupForPermission) {
  // Root may open any device, so the refusal is handed in as the failed open left it.
  errno = EACCES;
  const std::string denied = DeviceOpenFailure("/dev/ttyUSB0", SerialPort::kCreateFailed);
  EXPECT_EQ(denied.find(std::strerror(EACCES)), 0u) << denied;
  EXPECT_NE(denied.find("the user may need to be in the 'dialout' group"), std::string::npos) << denied;
  errno = EBUSY;
  EXPECT_EQ(DeviceOpenFailure("/dev/ttyUSB0", SerialPort::kCreateFailed), std::strerror(EBUSY));
  errno = ENOTTY;
  EXPECT_EQ(DeviceOpenFailure("/dev/null", SerialPort::kTimeoutsFailed), "not a serial device");
}

// --- the real binary ----------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
  std::string NextLine() {
    char line[512];
    if (!std::fgets(line, sizeof line, out)) return "";
    std::string s = line;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  std::string Rest() {
    std::string all;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, out)) all += chunk;
    return all;
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (out) std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

Child Launch(std::vector<std::string> args) {
  int pipeFds[2];
  Child child;
  if (::pipe(pipeFds) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  args.insert(args.begin(), VTL_UNIT_SIM_BINARY);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  ::posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  child.out = ::fdopen(pipeFds[0], "r");
  return child;
}

// Mapping the pty into a Wine prefix needs Wine itself; tests/wine/com_map_test.sh
// runs that part.
TEST(SimBinary, ServesAReadOnItsOwnPtyAndEndsCleanlyOnSigterm) {
  Child sim = Launch({"--controls-period", "0", "--poll-period", "0"});
  const std::string path = sim.NextLine();
  ASSERT_EQ(path.compare(0, 5, "/dev/"), 0) << path;
  EXPECT_NE(sim.NextLine().find("unit K4-ZVL firmware v1.3 on " + path), std::string::npos);

  RecordingSink sink;
  FrameCodec codec(&sink);
  ASSERT_TRUE(codec.OpenPort(path.c_str()));
  ASSERT_TRUE(codec.SendFrame(kReadRequest, kRequestLength));
  EXPECT_NE(sim.NextLine().find("rx \"\\n~RAD\\r\""), std::string::npos);
  EXPECT_NE(sim.NextLine().find("tx \"\\n+\\r\" ACK"), std::string::npos);
  EXPECT_NE(sim.NextLine().find("tx \"\\n~r3110C3DBFB216000D0"), std::string::npos);
  EXPECT_NE(sim.NextLine().find("rx \"\\n+\\r\" ACK"), std::string::npos);
  codec.ClosePort();

  ::kill(sim.pid, SIGTERM);
  const std::string rest = sim.Rest();
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_NE(rest.find("frames in: 2, frames out: 2, faults injected: 0"), std::string::npos)
      << rest;
}

// Reaps the child, or gives up after about 15 s (a hang guard, not a timing).
bool Ended(pid_t pid) {
  for (int i = 0; i < 1500; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return false;
}

TEST(SimBinary, SigtermEndsAFloodWhoseOutputNobodyReads) {
  Child sim = Launch({"--flood", "5000", "--controls-period", "0", "--poll-period", "0"});
  ASSERT_FALSE(sim.NextLine().empty());
  // Wait until the output pipe is full (it stops filling): the sender is then stuck
  // printing, and stopping it cannot join it.
  const int fd = ::fileno(sim.out);
  int pending = 0;
  int before = -1;
  for (int i = 0; i < 1000 && !(pending == before && pending > 60000); ++i) {
    before = pending;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::ioctl(fd, FIONREAD, &pending);
  }
  ASSERT_GT(pending, 60000);
  ::kill(sim.pid, SIGTERM);
  EXPECT_TRUE(Ended(sim.pid));
  std::fclose(sim.out);
}

TEST(SimBinary, QuietFloodPrintsNoFrameLinesButCountsThem) {
  Child sim = Launch({"--quiet", "--flood", "1000", "--flood-frames", "200", "--controls-period",
                      "0", "--poll-period", "0", "--run-for", "1500"});
  const std::string all = sim.Rest();
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_EQ(all.find(" tx "), std::string::npos) << all;
  EXPECT_NE(all.find("frames out: 200"), std::string::npos) << all;
}

TEST(SimBinary, BadInputEndsWithAMessageAndFailure) {
  char folder[] = "/tmp/vtl-sim-bad-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string shortFile = std::string(folder) + "/short.vtl";
  std::ofstream(shortFile, std::ios::binary) << "123456";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"--frobnicate"}, 2, "unknown option '--frobnicate'"},
      {{"--device", "/dev/no-such-serial-device"}, 1,
       "cannot open serial device '/dev/no-such-serial-device': No such file or directory"},
      {{"--device", "/dev/null"}, 1, "cannot open serial device '/dev/null': not a serial device"},
      {{"--device", shortFile}, 1, "not a serial device"},
      {{"--config", shortFile}, 1, "Config file is wrong size: " + shortFile +
                                       " (it is 6 bytes; a .vtl file holds exactly 7 bytes)"},
      {{"--config", std::string(folder) + "/missing.vtl"}, 1,
       "Could not open config file: " + std::string(folder) + "/missing.vtl (No such file or directory)"},
      {{"--wine-prefix", folder, "--com", "1"}, 1, "is not a Wine prefix"},
  };
  for (const auto& c : cases) {
    Child sim = Launch(c.args);
    const std::string all = sim.Rest();
    EXPECT_EQ(sim.Wait(), c.status) << c.message;
    EXPECT_NE(all.find(c.message), std::string::npos) << all;
  }
  Child help = Launch({"--help"});
  const std::string usage = help.Rest();
  EXPECT_EQ(help.Wait(), 0);
  for (const char* option : {"--device", "--wine-prefix", "--com", "--firmware", "--dip",
                             "--config", "--save-config", "--controls-period", "--controls-width",
                             "--controls-pattern", "--poll-period", "--bad-checksum", "--nak",
                             "--delay", "--garbage", "--long-lines", "--split", "--flood",
                             "--flood-frames", "--seed", "--run-for", "--quiet"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace
