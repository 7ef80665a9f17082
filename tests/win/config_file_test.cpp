// .vtl files on the Win32 file calls: names outside the ANSI code page, paths that
// nearly fill MAX_PATH, and saving onto a file that another program has open (another
// handle of this process stands in for the other program, since the system's sharing
// rules are the same between handles of one process and of two).
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_file.h"
#include "platform/wide_text.h"

namespace {

const std::string kOld = "an older and much longer file";
const std::string kNew("\x3C\xBD\xBF\x12\x06\x00\x0D", 7);  // the default record

class ConfigFileWin : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder = Narrow(temp) + "vtl-config-win-test-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(MakeFolder(folder));
    path = folder + "\\unit.vtl";
  }
  void TearDown() override { RemoveTree(folder); }

  // Paths are UTF-8 here as in the programs, and reach the system in their long form.
  static bool MakeFolder(const std::string& where) {
    return CreateDirectoryW(LongPath(where).c_str(), nullptr) != 0;
  }
  static void RemoveTree(const std::string& where) {
    for (const std::string& name : Entries(where)) {
      const std::string entry = where + "\\" + name;
      if (!DeleteFileW(LongPath(entry).c_str())) RemoveTree(entry);
    }
    RemoveDirectoryW(LongPath(where).c_str());
  }
  static void Put(const std::string& where, const std::string& bytes) {
    const HANDLE file = CreateFileW(LongPath(where).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  static std::string Get(const std::string& where) {
    const HANDLE file = CreateFileW(LongPath(where).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "(cannot read)";
    char buffer[256];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return std::string(buffer, got);
  }
  // The names in a folder, as the system lists them.
  static std::vector<std::string> Entries(const std::string& where) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW(LongPath(where + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = Narrow(found.cFileName);
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
  }
  std::string folder, path;
};

TEST_F(ConfigFileWin, SavedOntoAHeldFileWhenItsSharingLetsUsWrite) {
  const DWORD kRead = GENERIC_READ, kBoth = GENERIC_READ | GENERIC_WRITE;
  const DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const struct {
    const char* holder;
    DWORD access, share;
    bool saved;
  } cases[] = {
      {"nobody", 0, 0, true},
      // A viewer that lets others read and write: the old file is written in place.
      {"a reader sharing reading and writing", kRead, kShareRW, true},
      {"a reader sharing everything", kRead, kShareRW | FILE_SHARE_DELETE, true},
      // The system refuses a writer wherever the holder shares reading only, or where
      // the holder writes and the save (sharing reading only, as a save always has)
      // does not let it: the old file stays.
      {"a reader sharing reading only", kRead, FILE_SHARE_READ, false},
      {"a writer sharing reading and writing", kBoth, kShareRW, false},
      {"a writer sharing nothing", kBoth, 0, false},
  };
  for (const auto& c : cases) {
    Put(path, kOld);
    HANDLE held = INVALID_HANDLE_VALUE;
    if (c.access != 0) {
      held = CreateFileA(path.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.holder;
    }
    const ConfigFileError error = SaveConfigFile(path.c_str(), DefaultConfig());
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    EXPECT_EQ(error, c.saved ? ConfigFileError::kNone : ConfigFileError::kWriteFailed) << c.holder;
    EXPECT_EQ(Get(path), c.saved ? kNew : kOld) << c.holder;
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"unit.vtl"}) << c.holder;
  }
}

const UnitConfig kFirst = DefaultConfig();
const UnitConfig kSecond{0x05, 0x87, 0x42, 0x0F, 0xFF, 0x25, 0x0C};

std::string Bytes(const UnitConfig& config) {
  uint8_t bytes[kConfigBytes];
  ConfigToBytes(config, bytes);
  return std::string(bytes, bytes + kConfigBytes);
}

TEST_F(ConfigFileWin, NamesOutsideTheAnsiCodePageSaveReplaceAndLoad) {
  // Folders and files with such names; the Latin-1 one fitted the ANSI code page
  // (1252 in Wine's default English locale) and worked before.
  const struct {
    const char* folder;
    const char* file;
  } cases[] = {
      {"Ελληνικά", "Ωμέγα.vtl"},
      {"中文 設定", "設定.vtl"},
      {"emoji 😀", "😀 unit.vtl"},
      {"café-Größe", "café-Größe.vtl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string where = folder + "\\" + c.folder, target = where + "\\" + c.file;
    ASSERT_TRUE(MakeFolder(where));
    for (const UnitConfig& record : {kFirst, kSecond}) {  // a new file, then over it
      EXPECT_EQ(SaveConfigFile(target.c_str(), record), ConfigFileError::kNone);
      EXPECT_EQ(Entries(where), std::vector<std::string>{c.file});  // that name, nothing else
      EXPECT_EQ(Get(target), Bytes(record));
      UnitConfig loaded{};
      EXPECT_EQ(LoadConfigFile(target.c_str(), &loaded), ConfigFileError::kNone);
      EXPECT_EQ(loaded, record);
    }
  }
}

TEST_F(ConfigFileWin, PathsUpToMaxPathSaveAndLeaveNoTemporaryFile) {
  // 255 to 259 characters: up to MAX_PATH less its end mark, the longest path the
  // Save dialog returns. In a long folder with a short name, the temporary file's
  // name ("vtlXXXX.tmp") is longer than the target's and its path passes MAX_PATH.
  for (size_t length = 255; length <= 259; ++length) {
    for (const bool longFolder : {true, false}) {
      const size_t room = length - folder.size() - 1;  // after the fixture's folder and "\"
      const std::string name = longFolder ? "u.vtl" : std::string(room - 4, 'n') + ".vtl";
      const std::string where =
          longFolder ? folder + "\\" + std::string(room - name.size() - 1, 'd') : folder;
      const std::string target = where + "\\" + name;
      SCOPED_TRACE(std::to_string(target.size()) + (longFolder ? " long folder" : " long name"));
      ASSERT_EQ(target.size(), length);
      if (longFolder) {
        ASSERT_TRUE(MakeFolder(where));
      }
      for (const UnitConfig& record : {kFirst, kSecond}) {
        EXPECT_EQ(SaveConfigFile(target.c_str(), record), ConfigFileError::kNone);
        EXPECT_EQ(Entries(where), std::vector<std::string>{name});
        UnitConfig loaded{};
        EXPECT_EQ(LoadConfigFile(target.c_str(), &loaded), ConfigFileError::kNone);
        EXPECT_EQ(loaded, record);
      }
      RemoveTree(where);
      if (!longFolder) {
        ASSERT_TRUE(MakeFolder(folder));
      }
    }
  }
}

TEST(LongPath, AbsoluteTidiedAndPrefixedDevicesAsTheyAre) {
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  std::wstring here = current;
  if (here.back() != L'\\') here += L'\\';
  const struct {
    const char* path;
    std::wstring expected;
  } cases[] = {
      {"C:\\a\\b.vtl", L"\\\\?\\C:\\a\\b.vtl"},
      {"C:/a/./c/../b.vtl", L"\\\\?\\C:\\a\\b.vtl"},
      {"Ωμέγα.vtl", L"\\\\?\\" + here + L"\u03A9\u03BC\u03AD\u03B3\u03B1.vtl"},
      {"\\\\server\\share\\b.vtl", L"\\\\?\\UNC\\server\\share\\b.vtl"},
      {"\\\\?\\C:\\x\\..\\b.vtl", L"\\\\?\\C:\\x\\..\\b.vtl"},  // already long: untouched
      {"\\\\.\\COM12", L"\\\\.\\COM12"},
      {"C:\\a\\NUL", L"\\\\.\\NUL"},  // a device name wherever it stands
      {"C:\\a\\b.vtl. ", L"\\\\?\\C:\\a\\b.vtl"},
      {"", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(LongPath(c.path), c.expected) << c.path;
}

}  // namespace
