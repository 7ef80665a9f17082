// POSIX half of SerialPort: termios in raw mode and a reader thread that blocks in
// poll on the device and on a wake-up pipe. Used by the unit simulator and by the
// native tests, over real serial devices or pseudo-terminals.
//
// Threads: the owner thread runs Open, Close and the destructor and alone writes
// `device`, `wakePipe` and `reader`. The reader thread only reads them, and only
// between Open starting it and Close joining it. `stopRequested` is written by the
// owner and read by the reader, so it is atomic. Close wakes the reader through the
// pipe, so it never waits for received data.
#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "link/serial_port.h"

struct SerialPort::Platform {
  int device = -1;
  int heldOtherEnd = -1;  // the far end of our own pseudo-terminal, kept open
  int wakePipe[2] = {-1, -1};
  std::thread reader;
  std::atomic<bool> stopRequested{false};
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

void SerialPort::OnBytesReceived(const uint8_t*, uint32_t) {}
void SerialPort::OnDeviceFailed() {}

int16_t SerialPort::Open(const char* devicePath, int16_t baudRate, int framing) {
  Platform& p = *platform;
  if (p.device >= 0) Close();
  p.device = ::open(devicePath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p.device < 0) return kCreateFailed;
  ::ioctl(p.device, TIOCEXCL);  // exclusive, like a COM port opened without sharing
  return Start(baudRate, framing);
}

int16_t SerialPort::OpenPseudoTerminal(int16_t baudRate, std::string* otherEnd) {
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
  const int16_t status = Start(baudRate, 1);
  if (status != kOpened) CloseFd(&p.heldOtherEnd);
  return status;
}

int16_t SerialPort::Start(int16_t baudRate, int framing) {
  Platform& p = *platform;
  termios settings{};
  if (::tcgetattr(p.device, &settings) != 0) {
    CloseFd(&p.device);
    return kTimeoutsFailed;
  }
  speed_t speed;
  ::cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  settings.c_cflag |= CLOCAL | CREAD;
  if (framing == kFraming7E1) {
    settings.c_cflag |= CS7 | PARENB;
  } else {
    settings.c_cflag |= CS8;
  }
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (!SpeedOf(baudRate, &speed) || ::cfsetispeed(&settings, speed) != 0 ||
      ::cfsetospeed(&settings, speed) != 0 || ::tcsetattr(p.device, TCSANOW, &settings) != 0) {
    CloseFd(&p.device);
    return kStateFailed;
  }
  p.baudRate = static_cast<uint32_t>(baudRate);

  p.stopRequested = false;
  if (::pipe2(p.wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    CloseFd(&p.device);
    return kThreadFailed;
  }
  p.reader = std::thread([this] {
    Platform& q = *platform;
    uint8_t buffer[1024];
    pollfd watched[2] = {{q.device, POLLIN, 0}, {q.wakePipe[0], POLLIN, 0}};
    while (!q.stopRequested) {
      if (::poll(watched, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (q.stopRequested || watched[1].revents) break;
      const ssize_t got = ::read(q.device, buffer, sizeof buffer);
      if (got > 0) {
        OnBytesReceived(buffer, static_cast<uint32_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        OnDeviceFailed();  // the far end has gone: stop instead of spinning on POLLHUP
        break;
      }
    }
  });

  int lines = TIOCM_RTS;
  ::ioctl(p.device, TIOCMBIS, &lines);
  lines = TIOCM_DTR;
  ::ioctl(p.device, TIOCMBIS, &lines);
  return kOpened;
}

bool SerialPort::Close() {
  Platform& p = *platform;
  if (p.device < 0) return false;
  p.stopRequested = true;
  const char wake = 1;
  (void)!::write(p.wakePipe[1], &wake, 1);
  if (p.reader.joinable()) p.reader.join();
  int lines = TIOCM_RTS;
  ::ioctl(p.device, TIOCMBIC, &lines);
  lines = TIOCM_DTR;
  ::ioctl(p.device, TIOCMBIC, &lines);
  CloseFd(&p.device);
  CloseFd(&p.heldOtherEnd);
  CloseFd(&p.wakePipe[0]);
  CloseFd(&p.wakePipe[1]);
  return true;
}

uint32_t SerialPort::Write(const uint8_t* bytes, uint32_t count) {
  Platform& p = *platform;
  if (p.device < 0 || bytes == nullptr || count == 0) return 0;
  // A write the line does not take in about its own time is given up, as on the
  // Windows side.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(WriteTimeLimitMs(count, p.baudRate));
  uint32_t written = 0;
  while (written < count) {
    const ssize_t n = ::write(p.device, bytes + written, count - written);
    if (n > 0) {
      written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd out = {p.device, POLLOUT, 0};
    ::poll(&out, 1, static_cast<int>(left.count()));
  }
  return written;
}
