// The simulator's line on Linux: the device line, or a pseudo-terminal pair of our own,
// optionally mapped into a Wine prefix as a COM port.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "link/poll_reader.h"
#include "link/serial_port.h"
#include "tools/unit_sim/sim_line.h"
#include "tools/unit_sim/sim_options.h"
#include "tools/unit_sim/unit_simulator.h"
#include "tools/unit_sim/wine_port.h"

const bool kSimHasOwnLine = true;

namespace {

// Our own pseudo-terminal pair. We keep the far end open ourselves as well, so the
// line survives the tool closing and reopening its port (with no one holding the far
// end, the near end would report a hang-up). The far end is set raw first: without
// that its line discipline would echo our own frames back to us.
//
// Threads: Open and Close run on the owner thread; the reader thread (the link's POSIX
// reader, as the device line's SerialPort uses) only reads the near end between them.
// Write is called by the simulator's sender thread alone.
class PtyLine : public SimLine {
 public:
  PtyLine(const SimOptions& options, UnitSimulator* simulator) : simulator(simulator) {
    if (!options.winePrefix.empty()) winePort.reset(new WinePort(options.winePrefix, options.wineCom));
  }
  // The Wine mapping goes with the line, not with Close: removing it runs Wine, which
  // the end of a run should not wait for before printing its counts.
  ~PtyLine() override { PtyLine::Close(); }

  bool Open(std::string* error) override {
    char name[256];
    if (::openpty(&near, &far, name, nullptr, nullptr) != 0) {
      *error = std::string("cannot create a pseudo-terminal pair: ") + std::strerror(errno);
      return false;
    }
    farPath = name;
    termios raw{};
    ::tcgetattr(far, &raw);
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B2400);
    ::cfsetospeed(&raw, B2400);
    ::tcsetattr(far, TCSANOW, &raw);
    ::fcntl(near, F_SETFL, ::fcntl(near, F_GETFL) | O_NONBLOCK);
    ::fcntl(near, F_SETFD, FD_CLOEXEC);
    ::fcntl(far, F_SETFD, FD_CLOEXEC);
    if (!reader.MakeWakePipe()) {
      *error = std::string("cannot create a pipe: ") + std::strerror(errno);
      Close();
      return false;
    }
    // Every open of the tool's end shows here (inotify reports opens of device files
    // too), so a line nobody has opened can be noted.
    opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens >= 0 && ::inotify_add_watch(opens, farPath.c_str(), IN_OPEN) < 0) {
      ::close(opens);
      opens = -1;
    }
    if (winePort && !winePort->Map(farPath, error)) {
      Close();
      return false;
    }
    reader.Start(
        near, [this](const uint8_t* bytes, uint32_t count) { simulator->OnBytes(bytes, count); },
        [this] { simulator->OnLineFailed(); });
    return true;
  }

  void Close() override {
    reader.Stop();
    for (int* fd : {&near, &far, &opens}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  size_t Write(const uint8_t* bytes, size_t count) override {
    if (near < 0) return 0;
    // Nobody has read the last kept-back bytes: no program is attached. A real line
    // would lose them, so we do too, rather than hand the tool a backlog of stale
    // frames when it opens the port.
    int waiting = 0;
    if (::ioctl(far, FIONREAD, &waiting) == 0 && waiting > kUnreadLimit) {
      ::tcflush(far, TCIFLUSH);
      dropped = true;
    }
    return WriteWithin(near, bytes, count, kWriteLimitMs);
  }

  std::string Path() const override { return farPath; }
  std::string Describe() const override {
    return winePort ? farPath + " (as " + winePort->Describe() + ")" : farPath;
  }

  bool PeerOpened() override {
    if (opens < 0) return true;
    alignas(inotify_event) char events[sizeof(inotify_event) + 256];
    while (::read(opens, events, sizeof events) > 0) peerOpened = true;
    return peerOpened;
  }

  bool TakeDroppedNote() override { return dropped.exchange(false); }

 private:
  static constexpr int kUnreadLimit = 1024;
  static constexpr uint32_t kWriteLimitMs = 1000;

  UnitSimulator* const simulator;
  int near = -1;
  int far = -1;
  int opens = -1;  // inotify, watching the tool's end for opens
  bool peerOpened = false;
  std::unique_ptr<WinePort> winePort;  // mapped on Open, unmapped with the line
  std::string farPath;
  PollReader reader;
  std::atomic<bool> dropped{false};
};

}  // namespace

std::string DeviceOpenFailure(const std::string& path, int16_t status) {
  const int saved = errno;
  if (status == SerialPort::kCreateFailed) {
    std::string why = std::strerror(saved);
    if (saved == EACCES) {
      why += "; the user may need to be in the 'dialout' group (sudo usermod -aG dialout $USER,"
             " then log in again)";
    }
    return why;
  }
  // The later steps set the line up as a terminal; a file that is none (/dev/null, a
  // plain file) fails them.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const bool terminal = fd >= 0 && ::isatty(fd);
  if (fd >= 0) ::close(fd);
  if (!terminal) return "not a serial device";
  const bool laterStep = status <= SerialPort::kTimeoutsFailed && status >= SerialPort::kThreadFailed;
  return std::string(SerialPort::OpenStatusText(laterStep ? status : int{SerialPort::kStateFailed})) +
         " (" + std::strerror(saved) + ")";
}

SimLine* NewSimLine(const SimOptions& options, UnitSimulator* simulator) {
  if (!options.device.empty()) return NewDeviceLine(options.device, simulator);
  return new PtyLine(options, simulator);
}
