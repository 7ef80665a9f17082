// The simulator's line on Linux: the device line, or a pseudo-terminal pair of our own,
// optionally mapped into a Wine prefix as a COM port.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "link/serial_port.h"
#include "platform/system.h"
#include "tools/unit_sim/sim_line.h"
#include "tools/unit_sim/sim_options.h"
#include "tools/unit_sim/unit_simulator.h"
#include "tools/unit_sim/wine_port.h"

const bool kSimHasOwnLine = true;

namespace {

// Our own pseudo-terminal pair, made and read by SerialPort, which keeps the tool's end
// open as well so the line survives the tool closing and reopening its port. On top of
// it: the note of a line nobody has opened, the unread output a real line would lose,
// and the Wine mapping.
//
// Threads: Open and Close run on the owner thread; Write, TakeDroppedNote and
// PeerOpened on the simulator's sender thread alone.
class PtyLine : public PortLine {
 public:
  PtyLine(const SimOptions& options, UnitSimulator* simulator) : PortLine("", simulator) {
    if (!options.winePrefix.empty()) winePort.reset(new WinePort(options.winePrefix, options.wineCom));
  }
  // The Wine mapping goes with the line, not with Close: removing it runs Wine, which
  // the end of a run should not wait for before printing its counts.
  ~PtyLine() override { PtyLine::Close(); }

  bool Open(std::string* error) override {
    if (!PortLine::Open(error)) return false;
    // Our own look at the tool's end, opened before anyone else can open it (the tool
    // opens it exclusively), to see how much of our output waits there unread.
    farEnd = ::open(Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Every later open of the tool's end shows here (inotify reports opens of device
    // files too), so a line nobody has opened can be noted.
    opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens >= 0 && ::inotify_add_watch(opens, Path().c_str(), IN_OPEN) < 0) {
      ::close(opens);
      opens = -1;
    }
    if (winePort && !winePort->Map(Path(), error)) {
      Close();
      return false;
    }
    return true;
  }

  void Close() override {
    PortLine::Close();
    for (int* fd : {&farEnd, &opens}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }

  size_t Write(const uint8_t* bytes, size_t count) override {
    // Nobody has read the last kept-back bytes: no program is attached. A real line
    // would lose them, so we do too, rather than hand the tool a backlog of stale
    // frames when it opens the port.
    int waiting = 0;
    if (farEnd >= 0 && ::ioctl(farEnd, FIONREAD, &waiting) == 0 && waiting > kUnreadLimit) {
      ::tcflush(farEnd, TCIFLUSH);
      dropped = true;
    }
    return PortLine::Write(bytes, count);
  }

  std::string Describe() const override {
    return winePort ? Path() + " (as " + winePort->Describe() + ")" : Path();
  }

  bool PeerOpened() override {
    if (opens < 0) return true;
    alignas(inotify_event) char events[sizeof(inotify_event) + 256];
    while (::read(opens, events, sizeof events) > 0) peerOpened = true;
    return peerOpened;
  }

  bool TakeDroppedNote() override { return std::exchange(dropped, false); }

 private:
  static constexpr int kUnreadLimit = 1024;

  int farEnd = -1;
  int opens = -1;  // inotify, watching the tool's end for opens
  bool peerOpened = false;
  bool dropped = false;
  std::unique_ptr<WinePort> winePort;  // mapped on Open, unmapped with the line
};

}  // namespace

std::string DeviceOpenFailure(const std::string& path, int16_t status) {
  const int saved = errno;
  if (status == SerialPort::kCreateFailed) {
    std::string why = SystemErrorText(static_cast<unsigned long>(saved));
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
         " (" + SystemErrorText(static_cast<unsigned long>(saved)) + ")";
}

SimLine* NewSimLine(const SimOptions& options, UnitSimulator* simulator) {
  if (!options.device.empty()) return NewDeviceLine(options.device, simulator);
  return new PtyLine(options, simulator);
}
