#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <cerrno>
#include <iterator>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/unit_config.h"
#include "tests/native/frame_text.h"
#include "link/frame_codec.h"

namespace {

std::string AsText(const ConfigPacket& packet) {
  return std::string(packet.begin(), packet.end());
}

TEST(UnitConfig, DefaultRecordIsTheDocumentedSevenBytes) {
  uint8_t bytes[kConfigBytes];
  ConfigToBytes(DefaultConfig(), bytes);
  const uint8_t expected[kConfigBytes] = {0x3C, 0xBD, 0xBF, 0x12, 0x06, 0x00, 0x0D};
  EXPECT_TRUE(std::equal(bytes, bytes + kConfigBytes, expected));
  EXPECT_EQ(ConfigFromBytes(expected), DefaultConfig());
}

TEST(UnitConfig, DefaultPacketAndItsZeroChecksum) {
  const ConfigPacket packet = BuildConfigPacket(DefaultConfig());
  EXPECT_EQ(AsText(packet), "~WC3DBFB216000D0");
  EXPECT_EQ(FrameText(AsText(packet)), "\n~WC3DBFB216000D000\r");
  const std::string wire = FrameText(AsText(packet));
  EXPECT_EQ(wire.size(), 20u);
  EXPECT_TRUE(FrameChecksumValid(reinterpret_cast<const uint8_t*>(wire.data()),
                                 static_cast<uint8_t>(wire.size())));
}

TEST(UnitConfig, PacketWritesEveryByteLowNibbleFirstInUpperCase) {
  const UnitConfig config{0x01, 0xAB, 0xFF, 0x00, 0x10, 0x7F, 0xE2};
  EXPECT_EQ(AsText(BuildConfigPacket(config)), "~W10BAFF0001F72E");
}

TEST(UnitConfig, RequestPayloadsOnTheWire) {
  const auto wire = [](const uint8_t* p) { return FrameText(std::string(p, p + kRequestLength)); };
  EXPECT_EQ(wire(kReadRequest), std::string("\x0A~RAD\x0D"));
  EXPECT_EQ(wire(kTxOnRequest), std::string("\x0A~TCD\x0D"));
  EXPECT_EQ(wire(kTxOffRequest), std::string("\x0A~tCF\x0D"));
}

TEST(UnitConfig, StepsToMilliseconds) {
  const struct { uint8_t steps; unsigned ms; } cases[] = {
      {0, 0}, {1, 7}, {6, 40}, {15, 100}, {18, 120}, {255, 1700},
  };
  for (const auto& c : cases) EXPECT_EQ(UnitsToMs(c.steps), c.ms) << int(c.steps);
}

TEST(UnitConfig, MillisecondsToStepsRoundsAndLimits) {
  const struct { uint32_t ms; uint8_t steps; } cases[] = {
      {0, 0},      {3, 0},      {4, 1},      {40, 6},           {100, 15},
      {103, 15},   {120, 18},   {1700, 255}, {1703, 255},       {1704, 255},
      {100000, 255}, {4294967295u, 255},
  };
  for (const auto& c : cases) EXPECT_EQ(MsToUnits(c.ms), c.steps) << c.ms;
}

TEST(UnitConfig, EveryStepSurvivesTheRoundTripThroughMilliseconds) {
  for (unsigned s = 0; s <= 255; ++s) {
    EXPECT_EQ(MsToUnits(UnitsToMs(static_cast<uint8_t>(s))), s);
  }
}

TEST(UnitConfig, BaudTableAndItsTwoFallbacks) {
  const struct { uint8_t code; const char* rate; } codes[] = {
      {0, "115200"}, {1, "57600"}, {8, "38400"}, {9, "19200"}, {10, "9600"}, {11, "4800"},
      {12, "2400"},  {13, "1200"}, {14, "600"},  {15, "300"},  {2, "9600"},  {5, "9600"},
      {7, "9600"},   {16, "9600"}, {200, "9600"}, {255, "9600"},
  };
  for (const auto& c : codes) EXPECT_STREQ(BaudCodeToRate(c.code), c.rate) << int(c.code);

  const struct { uint32_t rate; uint8_t code; } rates[] = {
      {115200, 0}, {57600, 1}, {38400, 8}, {19200, 9}, {9600, 10}, {4800, 11},
      {2400, 12},  {1200, 13}, {600, 14},  {300, 15},  {110, 13},  {0, 13},
  };
  for (const auto& r : rates) EXPECT_EQ(RateToBaudCode(r.rate), r.code) << r.rate;
}

struct ResponseCase {
  const char* name;
  std::string frame;
  ReadResponseStatus status;
  const char* statusText;
  const char* daughterBoard;
};

TEST(ReadResponse, DecodesByTheTable) {
  const ResponseCase cases[] = {
      {"documented example", FrameText("~r3105C3DBFB216000D0"), ReadResponseStatus::kValid,
       "Read complete (F/W v1.3)", "Dip Switch: 1 off, 2 on, 3 off, 4 -, VF, v.23"},
      {"all switches on", FrameText("~r3100C3DBFB216000D0"), ReadResponseStatus::kValid,
       "Read complete (F/W v1.3)", "Dip Switch: 1 on, 2 on, 3 on, 4 -, VF, v.22"},
      {"direct sync", FrameText("~r2943C3DBFB216000D0"), ReadResponseStatus::kValid,
       "Read complete (F/W v9.2)", "Dip Switch: 1 off, 2 off, 3 on, 4 -, direct, sync"},
      {"direct async", FrameText("~r2942C3DBFB216000D0"), ReadResponseStatus::kValid,
       "Read complete (F/W v9.2)", "Dip Switch: 1 on, 2 off, 3 on, 4 -, direct, async"},
      {"version characters shown as they are", FrameText("~rx?0\x7F" "C3DBFB216000D0"),
       ReadResponseStatus::kValid, "Read complete (F/W v?.x)",
       "Dip Switch: 1 off, 2 off, 3 off, 4 -, direct, sync"},
      {"23 bytes", FrameText("~r3105C3DBFB216000D"), ReadResponseStatus::kInvalid,
       "Received invalid configuration", ""},
      {"25 bytes", FrameText("~r3105C3DBFB216000D00"), ReadResponseStatus::kInvalid,
       "Received invalid configuration", ""},
      {"bare ~r", "\n~r\r", ReadResponseStatus::kInvalid, "Received invalid configuration", ""},
  };
  for (const ResponseCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReadResponse r{};
    const UnitConfig marker{1, 2, 3, 4, 5, 6, 7};
    r.config = marker;
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.frame.data());
    EXPECT_EQ(DecodeReadResponse(bytes, static_cast<uint8_t>(c.frame.size()), &r), c.status);
    EXPECT_STREQ(r.statusText, c.statusText);
    EXPECT_STREQ(r.daughterBoardText, c.daughterBoard);
    EXPECT_EQ(r.config, c.status == ReadResponseStatus::kValid ? DefaultConfig() : marker);
  }
}

TEST(ReadResponse, OtherFramesAreNotReadResponses) {
  for (const std::string payload :
       {"~RC3DBFB216000D0xxxx", "~WC3DBFB216000D0", "~T", "~t", "+", "C0020000000", "r~"}) {
    const std::string f = FrameText(payload);
    ReadResponse r{};
    EXPECT_EQ(DecodeReadResponse(reinterpret_cast<const uint8_t*>(f.data()),
                                 static_cast<uint8_t>(f.size()), &r),
              ReadResponseStatus::kNotReadResponse)
        << payload;
    EXPECT_STREQ(r.statusText, "");
  }
  const uint8_t tooShort[] = {0x0A, '~'};
  ReadResponse r{};
  EXPECT_EQ(DecodeReadResponse(tooShort, 2, &r), ReadResponseStatus::kNotReadResponse);
}

TEST(ReadResponse, DigitsOfEitherCaseAndNonDigitsDecode) {
  ReadResponse upper{}, lower{}, junk{};
  const std::string u = FrameText("~r3105A5FBFB216000D0");
  const std::string l = FrameText("~r3105a5fbfb216000d0");
  const std::string j = FrameText("~r3105GZ.BFB216000D0");
  DecodeReadResponse(reinterpret_cast<const uint8_t*>(u.data()), 24, &upper);
  DecodeReadResponse(reinterpret_cast<const uint8_t*>(l.data()), 24, &lower);
  DecodeReadResponse(reinterpret_cast<const uint8_t*>(j.data()), 24, &junk);
  EXPECT_EQ(upper.config, lower.config);
  EXPECT_EQ(upper.config.ioId, 0x5A);
  EXPECT_EQ(upper.config.zvlId, 0xBF);
  EXPECT_EQ(junk.config.ioId, 0x00);   // neither 'G' nor 'Z' is a digit
  EXPECT_EQ(junk.config.zvlId, 0xB0);  // '.' counts as 0, 'B' is the high nibble
}

TEST(ReadResponse, PacketOfARecordDecodesBackToIt) {
  const UnitConfig config{0xC5, 0x7F, 0x00, 0xFF, 0x80, 0x55, 0x02};
  const ConfigPacket packet = BuildConfigPacket(config);
  const std::string f = FrameText("~r3105" + std::string(packet.begin() + 2, packet.end()));
  ReadResponse r{};
  ASSERT_EQ(DecodeReadResponse(reinterpret_cast<const uint8_t*>(f.data()), 24, &r),
            ReadResponseStatus::kValid);
  EXPECT_EQ(r.config, config);
}

TEST(ReadResponse, FirmwareIsTheTwoCharactersAroundThePoint) {
  const std::string f = FrameText("~r7205C3DBFB216000D0");
  ReadResponse r{};
  ASSERT_EQ(DecodeReadResponse(reinterpret_cast<const uint8_t*>(f.data()), 24, &r),
            ReadResponseStatus::kValid);
  EXPECT_STREQ(r.firmware, "2.7");
  EXPECT_STREQ(r.statusText, "Read complete (F/W v2.7)");
}

// The unit's read response, built from its parts, decodes back to each of them.
TEST(ReadResponse, BuiltResponseDecodesToItsFirmwareSwitchesAndRecord) {
  const UnitConfig config{0xC5, 0x7F, 0x00, 0xFF, 0x80, 0x55, 0x02};
  const struct {
    char major, minor, spare;
    uint8_t dips;
    const char* firmware;
    const char* switches;
  } cases[] = {
      {'1', '3', '1', 0, "1.3", "Dip Switch: 1 on, 2 on, 3 on, 4 -, VF, v.22"},
      {'2', '7', '0', 5, "2.7", "Dip Switch: 1 off, 2 on, 3 off, 4 -, VF, v.23"},
      {'0', '9', '1', 7, "0.9", "Dip Switch: 1 off, 2 off, 3 off, 4 -, direct, sync"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firmware);
    const ReadResponsePayload payload = BuildReadResponsePayload(c.major, c.minor, c.spare, c.dips, config);
    EXPECT_EQ(payload[4], c.spare);
    const std::string f = FrameText(std::string(payload.begin(), payload.end()));
    ReadResponse r{};
    ASSERT_EQ(DecodeReadResponse(reinterpret_cast<const uint8_t*>(f.data()),
                                 static_cast<uint8_t>(f.size()), &r),
              ReadResponseStatus::kValid);
    EXPECT_STREQ(r.firmware, c.firmware);
    EXPECT_STREQ(r.daughterBoardText, c.switches);
    EXPECT_EQ(r.config, config);
  }
}

TEST(ConfigPacket, DecodesOnlyAWriteOfFourteenDigits) {
  const UnitConfig config{0xC5, 0x7F, 0x00, 0xFF, 0x80, 0x55, 0x02};
  const ConfigPacket packet = BuildConfigPacket(config);
  UnitConfig decoded{};
  ASSERT_TRUE(DecodeConfigPacket(packet.data(), packet.size(), &decoded));
  EXPECT_EQ(decoded, config);
  std::string lower(packet.begin(), packet.end());
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  lower[1] = 'W';
  ASSERT_TRUE(DecodeConfigPacket(reinterpret_cast<const uint8_t*>(lower.data()), 16, &decoded));
  EXPECT_EQ(decoded, config);
  const UnitConfig untouched = decoded;
  for (const std::string bad : {"~WC3DBFB216000D", "~WC3DBFB216000D00", "~WC3DBFB216000DG",
                                "~RC3DBFB216000D0", ""}) {
    EXPECT_FALSE(DecodeConfigPacket(reinterpret_cast<const uint8_t*>(bad.data()), bad.size(),
                                    &decoded))
        << bad;
    EXPECT_EQ(decoded, untouched);
  }
}

TEST(OptionNames, EveryOptionButTheWidthOnceWithThePagesLabel) {
  uint8_t seen = 0;
  for (const OptionName& option : kOptionNames) {
    EXPECT_EQ(seen & option.flag, 0);
    seen = static_cast<uint8_t>(seen | option.flag);
  }
  EXPECT_EQ(seen, 0x7F & ~kZvl32Bits);
  EXPECT_STREQ(kOptionNames[1].label, "Don't buffer controls");
}

// Files are made in a private folder that is removed afterwards.
class ConfigFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtl-config-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  std::string PathOf(const char* name) const { return folder + "/" + name; }
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  size_t EntriesInFolder() const {
    size_t n = 0;
    FILE* list = ::popen(("ls -A '" + folder + "'").c_str(), "r");
    char line[512];
    while (std::fgets(line, sizeof line, list)) ++n;
    ::pclose(list);
    return n;
  }
  std::string folder;
};

TEST_F(ConfigFiles, LoadAcceptsOnlySevenBytesAndLeavesTheRecordOnFailure) {
  const struct {
    const char* name;
    std::string bytes;
    ConfigFileError error;
    const char* why;  // the programs' reason for a wrong size
  } cases[] = {
      {"empty", "", ConfigFileError::kWrongSize, "it is 0 bytes; a .vtl file holds exactly 7 bytes"},
      {"six", std::string("\x3C\xBD\xBF\x12\x06\x00", 6), ConfigFileError::kWrongSize,
       "it is 6 bytes; a .vtl file holds exactly 7 bytes"},
      {"eight", std::string("\x3C\xBD\xBF\x12\x06\x00\x0D\x00", 8), ConfigFileError::kWrongSize,
       "it is 8 bytes; a .vtl file holds exactly 7 bytes"},
      {"seven", std::string("\x7F\xFF\x40\x00\xFF\x80\x05", 7), ConfigFileError::kNone, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Put(PathOf(c.name), c.bytes);
    UnitConfig config = DefaultConfig();
    EXPECT_EQ(LoadConfigFile(PathOf(c.name).c_str(), &config), c.error);
    if (c.error == ConfigFileError::kNone) {
      // Taken as stored, including bits the page never writes and a code without a row.
      EXPECT_EQ(config, (UnitConfig{0x7F, 0xFF, 0x40, 0x00, 0xFF, 0x80, 0x05}));
    } else {
      EXPECT_EQ(config, DefaultConfig());
      EXPECT_EQ(WrongSizeReason(PathOf(c.name).c_str()), c.why);
    }
  }
  // A file gone by the time its size is asked: the rule alone.
  EXPECT_EQ(WrongSizeReason(PathOf("missing.vtl").c_str()), "a .vtl file holds exactly 7 bytes");
}

TEST_F(ConfigFiles, LoadOfWhatIsNotAFileCannotOpen) {
  for (const std::string& path : {PathOf("missing.vtl"), folder, std::string("")}) {
    UnitConfig config = DefaultConfig();
    EXPECT_EQ(LoadConfigFile(path.c_str(), &config), ConfigFileError::kOpenFailed) << path;
    EXPECT_EQ(config, DefaultConfig());
  }
}

TEST_F(ConfigFiles, MessagesAreTheUsersTexts) {
  EXPECT_STREQ(ConfigFileMessage(ConfigFileError::kOpenFailed), "Could not open config file");
  EXPECT_STREQ(ConfigFileMessage(ConfigFileError::kReadFailed), "Could not open config file");
  EXPECT_STREQ(ConfigFileMessage(ConfigFileError::kWrongSize), "Config file is wrong size");
  EXPECT_STREQ(ConfigFileMessage(ConfigFileError::kCreateFailed),
               "Failed to create/open config file");
  EXPECT_STREQ(ConfigFileMessage(ConfigFileError::kWriteFailed),
               "Failed to create/open config file");
}

TEST_F(ConfigFiles, SaveWritesTheSevenBytesAndReplacesAnOldFile) {
  const std::string path = PathOf("unit.vtl");
  Put(path, "an older and much longer file");
  const UnitConfig config{0x3C, 0xBD, 0xBF, 0x12, 0x06, 0x00, 0x0D};
  ASSERT_EQ(SaveConfigFile(path.c_str(), config), ConfigFileError::kNone);
  EXPECT_EQ(Get(path), std::string("\x3C\xBD\xBF\x12\x06\x00\x0D", 7));
  UnitConfig back{};
  ASSERT_EQ(LoadConfigFile(path.c_str(), &back), ConfigFileError::kNone);
  EXPECT_EQ(back, config);
  EXPECT_EQ(EntriesInFolder(), 1u);  // no temporary file left behind
}

TEST_F(ConfigFiles, AnyNameSavesReplacesAndLoadsWithNoTemporaryFileLeft) {
  // UTF-8 names pass to the system as they are; a name of up to the 255 bytes a name
  // may have (NAME_MAX) leaves no room for a temporary name made longer from it.
  const std::string kCjk = "設";  // three bytes
  const std::string names[] = {
      "Ωμέγα.vtl",
      "設定.vtl",
      "😀 unit.vtl",
      std::string(251, 'n') + ".vtl",
      [&] {
        std::string name;
        while (name.size() + kCjk.size() + 6 <= 255) name += kCjk;
        return name + "ab.vtl";
      }(),
  };
  const UnitConfig records[] = {DefaultConfig(), {0x05, 0x87, 0x42, 0x0F, 0xFF, 0x25, 0x0C}};
  for (const std::string& name : names) {
    SCOPED_TRACE(std::to_string(name.size()) + " bytes: " + name);
    const std::string path = PathOf(name.c_str());
    for (const UnitConfig& record : records) {  // a new file, then over it
      EXPECT_EQ(SaveConfigFile(path.c_str(), record), ConfigFileError::kNone);
      UnitConfig back{};
      EXPECT_EQ(LoadConfigFile(path.c_str(), &back), ConfigFileError::kNone);
      EXPECT_EQ(back, record);
      EXPECT_EQ(EntriesInFolder(), 1u);
    }
    ::unlink(path.c_str());
  }
}

TEST_F(ConfigFiles, SaveIntoAMissingFolderFailsToCreate) {
  EXPECT_EQ(SaveConfigFile(PathOf("no/such/folder.vtl").c_str(), DefaultConfig()),
            ConfigFileError::kCreateFailed);
  EXPECT_EQ(SaveConfigFile("", DefaultConfig()), ConfigFileError::kCreateFailed);
}

TEST_F(ConfigFiles, FailedWriteKeepsThePreviousFileWhole) {
  const std::string path = PathOf("keep.vtl");
  const std::string previous("\x01\x02\x03\x04\x05\x06\x07", 7);
  Put(path, previous);
  // A file size limit of 3 bytes makes the write of the new bytes fail part-way.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 3;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const ConfigFileError error = SaveConfigFile(path.c_str(), DefaultConfig());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(error, ConfigFileError::kWriteFailed);
  EXPECT_EQ(Get(path), previous);
  EXPECT_EQ(EntriesInFolder(), 1u);
}

TEST_F(ConfigFiles, SaveOverAFolderFailsAndLeavesItAlone) {
  const std::string path = PathOf("dir.vtl");
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(SaveConfigFile(path.c_str(), DefaultConfig()), ConfigFileError::kWriteFailed);
  EXPECT_EQ(EntriesInFolder(), 1u);
}

TEST_F(ConfigFiles, SaveOntoAFileTheSystemHoldsWritesItInPlace) {
  // A file bind-mounted over the target cannot be renamed onto (EBUSY), as a file
  // another program holds cannot be on Windows; it can still be written.
  const std::string path = PathOf("held.vtl"), source = PathOf("source");
  Put(path, "old");
  Put(source, "an older and longer file");
  if (::mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
  const ConfigFileError error = SaveConfigFile(path.c_str(), DefaultConfig());
  const std::string seen = Get(path);
  ::umount(path.c_str());
  EXPECT_EQ(error, ConfigFileError::kNone);
  EXPECT_EQ(seen, std::string("\x3C\xBD\xBF\x12\x06\x00\x0D", 7));
  EXPECT_EQ(EntriesInFolder(), 2u);  // the two files, no temporary one
}

// Operations that fail where told to, and write down what was asked of them.
class ScriptedSave : public SaveOperations {
 public:
  ConfigFileError temporaryResult = ConfigFileError::kNone;
  Replace moveResult = Replace::kDone;
  bool inPlaceResult = true;
  std::string calls;

  ConfigFileError WriteTemporary(const char*, const uint8_t* bytes, std::string* name) override {
    calls += "temporary ";
    written.assign(bytes, bytes + kConfigBytes);
    *name = "temp";
    return temporaryResult;
  }
  Replace MoveOver(const std::string& name, const char*) override {
    calls += "move(" + name + ") ";
    return moveResult;
  }
  bool WriteInPlace(const char*, const uint8_t* bytes) override {
    calls += "in-place ";
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + kConfigBytes), written);
    return inPlaceResult;
  }
  void Remove(const std::string& name) override { calls += "remove(" + name + ") "; }

 private:
  std::vector<uint8_t> written;
};

TEST(SaveSteps, OnlyATargetInUseIsWrittenInPlaceAndNoTemporaryFileStays) {
  using Replace = SaveOperations::Replace;
  const struct {
    ConfigFileError temporary;
    Replace move;
    bool inPlace;
    ConfigFileError result;
    const char* calls;
  } cases[] = {
      {ConfigFileError::kNone, Replace::kDone, true, ConfigFileError::kNone,
       "temporary move(temp) "},
      {ConfigFileError::kNone, Replace::kTargetInUse, true, ConfigFileError::kNone,
       "temporary move(temp) in-place remove(temp) "},
      {ConfigFileError::kNone, Replace::kTargetInUse, false, ConfigFileError::kWriteFailed,
       "temporary move(temp) in-place remove(temp) "},
      {ConfigFileError::kNone, Replace::kFailed, true, ConfigFileError::kWriteFailed,
       "temporary move(temp) remove(temp) "},
      // A temporary file that could not be made or written removes itself.
      {ConfigFileError::kCreateFailed, Replace::kDone, true, ConfigFileError::kCreateFailed,
       "temporary "},
      {ConfigFileError::kWriteFailed, Replace::kDone, true, ConfigFileError::kWriteFailed,
       "temporary "},
  };
  for (const auto& c : cases) {
    ScriptedSave save;
    save.temporaryResult = c.temporary;
    save.moveResult = c.move;
    save.inPlaceResult = c.inPlace;
    EXPECT_EQ(SaveConfigFileWith(save, "unit.vtl", DefaultConfig()), c.result) << c.calls;
    EXPECT_EQ(save.calls, c.calls);
  }
  ScriptedSave unnamed;
  EXPECT_EQ(SaveConfigFileWith(unnamed, "", DefaultConfig()), ConfigFileError::kCreateFailed);
  EXPECT_EQ(unnamed.calls, "");
}

}  // namespace
