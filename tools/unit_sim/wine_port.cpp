#include "tools/unit_sim/wine_port.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/system.h"

extern char** environ;

namespace {
const char kPortsKey[] = "HKLM\\Software\\Wine\\Ports";

// Runs `wine reg ARGS...` in the prefix and returns its exit status (-1 when it could
// not be run); its output goes to *output when asked for, else nowhere.
int WineReg(const std::string& prefix, std::vector<std::string> args, std::string* output) {
  std::vector<std::string> env = {"WINEPREFIX=" + prefix};
  bool debugSet = false;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "WINEPREFIX=", 11) == 0) continue;
    debugSet = debugSet || std::strncmp(*e, "WINEDEBUG=", 10) == 0;
    env.push_back(*e);
  }
  if (!debugSet) env.push_back("WINEDEBUG=-all");
  args.insert(args.begin(), {"wine", "reg"});

  int pipeFds[2] = {-1, -1};
  if (output && ::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(&a[0]);
  for (std::string& e : env) envp.push_back(&e[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, "wine", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (output) {
    ::close(pipeFds[1]);
    char chunk[512];
    ssize_t n;
    while (spawned == 0 && (n = ::read(pipeFds[0], chunk, sizeof chunk)) != 0) {
      if (n > 0) output->append(chunk, static_cast<size_t>(n));
      else if (errno != EINTR) break;
    }
    ::close(pipeFds[0]);
  }
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
}  // namespace

std::string WinePort::LinkPath() const {
  return prefix + "/dosdevices/com" + std::to_string(com);
}

std::string WinePort::Describe() const { return LinkPath(); }

bool WinePort::Map(const std::string& path, std::string* error) {
  const std::string link = LinkPath();
  if (!IsFolder(prefix + "/dosdevices") || ::access((prefix + "/system.reg").c_str(), F_OK) != 0) {
    *error = "cannot map " + link + ": '" + prefix + "' is not a Wine prefix (no dosdevices or system.reg)";
    return false;
  }
  struct stat info {};
  if (::lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
    *error = "cannot map " + link + ": it exists and is not a symbolic link; not replacing it";
    return false;
  }
  const std::string value = "COM" + std::to_string(com);
  const int status = WineReg(prefix, {"add", kPortsKey, "/v", value, "/t", "REG_SZ", "/d", path, "/f"}, nullptr);
  if (status != 0) {
    *error = "cannot map " + link + ": 'wine reg add " + kPortsKey + " /v " + value + "' " +
             (status < 0 ? "could not be run (is wine installed?)" : "failed with status " + std::to_string(status));
    return false;
  }
  mapped = path;
  // The value was set first: a server started by that call has made its links by now.
  if ((::unlink(link.c_str()) != 0 && errno != ENOENT) || ::symlink(path.c_str(), link.c_str()) != 0) {
    *error = "cannot map " + link + " to " + path + ": " + SystemErrorText(LastSystemErrorCode());
    Unmap();
    return false;
  }
  return true;
}

void WinePort::Unmap() {
  if (mapped.empty()) return;
  const std::string link = LinkPath();
  char target[512];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string(target, static_cast<size_t>(n)) == mapped) ::unlink(link.c_str());
  const std::string value = "COM" + std::to_string(com);
  std::string shown;
  // `wine reg query` prints "    COM3    REG_SZ    /dev/pts/9" and a CR LF.
  if (WineReg(prefix, {"query", kPortsKey, "/v", value}, &shown) == 0 &&
      shown.find("REG_SZ    " + mapped + "\r\n") != std::string::npos) {
    WineReg(prefix, {"delete", kPortsKey, "/v", value, "/f"}, nullptr);
  }
  mapped.clear();
}
