// POSIX half of SerialPort: termios in raw mode and the link's POSIX reader
// (poll_reader.h), which blocks in poll on the device and on a wake-up pipe. Used by
// the unit simulator, vtl and the native tests, over real serial devices or
// pseudo-terminals.
//
// Threads: the owner thread runs Open, Close and the destructor and alone writes
// `device`, `heldOtherEnd` and the reader. The reader thread only reads `device`, and
// only between Open starting it and Close joining it. Close wakes the reader through
// its pipe, so it never waits for received data.
#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/poll_reader.h"
#include "link/serial_port.h"

struct SerialPort::Platform {
  int device = -1;
  int heldOtherEnd = -1;  // the far end of our own pseudo-terminal, kept open
  PollReader reader;
  uint32_t baudRate = 0;  // written by Open only, read by Write
};

namespace {
bool SpeedOf(int16_t baudRate, speed_t* speed) {
  switch (baudRate) {
    case 300: *speed = B300; return true;
    case 600: *speed = B600; return true;
    case 1200: *speed = B1200; return true;
    case 2400: *speed = B2400; return true;
    case 4800: *speed = B4800; return true;
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    default: return false;
  }
}

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}
}  // namespace

SerialPort::SerialPort() : platform(new Platform) {}

SerialPort::~SerialPort() { Close(); }

bool SerialPort::IsOpen() const { return platform->device >= 0; }

uint32_t SerialPort::ReaderWaits() const { return platform->reader.Waits(); }

void SerialPort::OnBytesReceived(const uint8_t*, uint32_t) {}
void SerialPort::OnDeviceFailed() {}

SerialPort::OpenStatus SerialPort::Open(const char* devicePath, int16_t baudRate) {
  Platform& p = *platform;
  if (p.device >= 0) Close();
  p.device = ::open(devicePath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p.device < 0) return kCreateFailed;
  ::ioctl(p.device, TIOCEXCL);  // exclusive, like a COM port opened without sharing
  return Start(baudRate);
}

SerialPort::OpenStatus SerialPort::OpenPseudoTerminal(int16_t baudRate, std::string* otherEnd) {
  Platform& p = *platform;
  if (p.device >= 0) Close();
  p.device = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (p.device < 0 || ::grantpt(p.device) != 0 || ::unlockpt(p.device) != 0 ||
      ::ptsname_r(p.device, name, sizeof name) != 0) {
    CloseFd(&p.device);
    return kCreateFailed;
  }
  ::fcntl(p.device, F_SETFL, ::fcntl(p.device, F_GETFL) | O_NONBLOCK);
  p.heldOtherEnd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (p.heldOtherEnd < 0) {
    CloseFd(&p.device);
    return kCreateFailed;
  }
  // Raw before anyone opens it: the other end's line discipline would otherwise echo
  // every byte written here straight back.
  termios raw{};
  ::tcgetattr(p.heldOtherEnd, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(p.heldOtherEnd, TCSANOW, &raw);
  *otherEnd = name;
  const OpenStatus status = Start(baudRate);
  if (status != kOpened) CloseFd(&p.heldOtherEnd);
  return status;
}

SerialPort::OpenStatus SerialPort::Start(int16_t baudRate) {
  Platform& p = *platform;
  termios settings{};
  if (::tcgetattr(p.device, &settings) != 0) {
    CloseFd(&p.device);
    return kTimeoutsFailed;
  }
  speed_t speed;
  ::cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  settings.c_cflag |= CLOCAL | CREAD | CS8;
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (!SpeedOf(baudRate, &speed) || ::cfsetispeed(&settings, speed) != 0 ||
      ::cfsetospeed(&settings, speed) != 0 || ::tcsetattr(p.device, TCSANOW, &settings) != 0) {
    CloseFd(&p.device);
    return kStateFailed;
  }
  p.baudRate = static_cast<uint32_t>(baudRate);

  if (!p.reader.MakeWakePipe()) {
    CloseFd(&p.device);
    return kThreadFailed;
  }
  p.reader.Start(
      p.device, [this](const uint8_t* bytes, uint32_t count) { OnBytesReceived(bytes, count); },
      [this] { OnDeviceFailed(); });

  int lines = TIOCM_RTS;
  ::ioctl(p.device, TIOCMBIS, &lines);
  lines = TIOCM_DTR;
  ::ioctl(p.device, TIOCMBIS, &lines);
  return kOpened;
}

bool SerialPort::Close() {
  Platform& p = *platform;
  if (p.device < 0) return false;
  p.reader.Stop();
  int lines = TIOCM_RTS;
  ::ioctl(p.device, TIOCMBIC, &lines);
  lines = TIOCM_DTR;
  ::ioctl(p.device, TIOCMBIC, &lines);
  CloseFd(&p.device);
  CloseFd(&p.heldOtherEnd);
  return true;
}

uint32_t SerialPort::Write(const uint8_t* bytes, uint32_t count) {
  Platform& p = *platform;
  if (p.device < 0 || bytes == nullptr || count == 0) return 0;
  // A write the line does not take in about its own time is given up, as on the
  // Windows side.
  return static_cast<uint32_t>(WriteWithin(p.device, bytes, count, WriteTimeLimitMs(count, p.baudRate)));
}
