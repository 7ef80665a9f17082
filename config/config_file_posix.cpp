// .vtl file access on POSIX systems (the native build: simulator and tests).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "config/config_file.h"

namespace {
// Reads or writes all count bytes, retrying after signals; false on any shortfall.
bool ReadAll(int fd, uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

ConfigFileError LoadConfigFile(const char* path, UnitConfig* config) {
  if (path == nullptr || config == nullptr) return ConfigFileError::kOpenFailed;
  // Non-blocking, so a FIFO named by mistake cannot hang the open.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ConfigFileError::kOpenFailed;
  struct stat info {};
  ConfigFileError result = ConfigFileError::kNone;
  uint8_t bytes[kConfigBytes];
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    result = ConfigFileError::kOpenFailed;  // a folder or a device is not a config file
  } else if (info.st_size != static_cast<off_t>(kConfigBytes)) {
    result = ConfigFileError::kWrongSize;
  } else if (!ReadAll(fd, bytes, kConfigBytes)) {
    result = ConfigFileError::kReadFailed;
  }
  ::close(fd);
  if (result == ConfigFileError::kNone) *config = ConfigFromBytes(bytes);
  return result;
}

namespace {
class PosixSaveOperations : public SaveOperations {
 public:
  ConfigFileError WriteTemporary(const char* path, const uint8_t* bytes,
                                 std::string* temporary) override {
    // Beside the target, so that the rename stays within one file system and replaces
    // the old file in one step. A short name of its own, not the target's with more
    // added: that would not fit where the target's name nearly fills the 255 bytes a
    // name may have (NAME_MAX).
    static std::atomic<unsigned> serial{0};
    const std::string target(path);
    const size_t slash = target.rfind('/');
    *temporary = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                 ".vtl" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".tmp";
    const int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return ConfigFileError::kCreateFailed;
    // Keep the permissions of the file being replaced.
    struct stat old {};
    if (::stat(path, &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
    const bool written = WriteAll(fd, bytes, kConfigBytes) && ::fsync(fd) == 0;
    if (!(::close(fd) == 0 && written)) {
      ::unlink(temporary->c_str());
      return ConfigFileError::kWriteFailed;
    }
    return ConfigFileError::kNone;
  }

  Replace MoveOver(const std::string& temporary, const char* path) override {
    if (std::rename(temporary.c_str(), path) == 0) return Replace::kDone;
    // EBUSY: the target is in use by the system, for example a file bind-mounted
    // there (rename(2)); it can still be written.
    return errno == EBUSY ? Replace::kTargetInUse : Replace::kFailed;
  }

  bool WriteInPlace(const char* path, const uint8_t* bytes) override {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info {};
    const bool written = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                         WriteAll(fd, bytes, kConfigBytes) &&
                         ::ftruncate(fd, static_cast<off_t>(kConfigBytes)) == 0 &&
                         ::fsync(fd) == 0;
    return ::close(fd) == 0 && written;
  }

  void Remove(const std::string& temporary) override { ::unlink(temporary.c_str()); }
};
}  // namespace

ConfigFileError SaveConfigFile(const char* path, const UnitConfig& config) {
  PosixSaveOperations operations;
  return SaveConfigFileWith(operations, path, config);
}
