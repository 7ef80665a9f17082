// Saving a .vtl file onto one that another program has open, on the Win32 file calls:
// another handle of this process stands in for the other program, since the system's
// sharing rules are the same between handles of one process and of two.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_file.h"

namespace {

const std::string kOld = "an older and much longer file";
const std::string kNew("\x3C\xBD\xBF\x12\x06\x00\x0D", 7);  // the default record

class ConfigFileWin : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    folder = std::string(temp) + "vtl-config-win-test-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    path = folder + "\\unit.vtl";
  }
  void TearDown() override {
    for (const std::string& name : Entries()) DeleteFileA((folder + "\\" + name).c_str());
    RemoveDirectoryA(folder.c_str());
  }
  void Put(const std::string& bytes) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  std::string Get() {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "(cannot read)";
    char buffer[256];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return std::string(buffer, got);
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &found));
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
    Put(kOld);
    HANDLE held = INVALID_HANDLE_VALUE;
    if (c.access != 0) {
      held = CreateFileA(path.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE) << c.holder;
    }
    const ConfigFileError error = SaveConfigFile(path.c_str(), DefaultConfig());
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    EXPECT_EQ(error, c.saved ? ConfigFileError::kNone : ConfigFileError::kWriteFailed) << c.holder;
    EXPECT_EQ(Get(), c.saved ? kNew : kOld) << c.holder;
    EXPECT_EQ(Entries(), std::vector<std::string>{"unit.vtl"}) << c.holder;
  }
}

}  // namespace
