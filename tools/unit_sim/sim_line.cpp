#include "tools/unit_sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "link/serial_port.h"
#include "tools/unit_sim/unit_simulator.h"

namespace {

// A device: the POSIX SerialPort at the link's 2400 baud, 8N1.
class DeviceLine : public SimLine, private SerialPort {
 public:
  DeviceLine(const std::string& path, UnitSimulator* simulator)
      : path(path), simulator(simulator) {}
  ~DeviceLine() override { DeviceLine::Close(); }

  bool Open(std::string* error) override {
    const int16_t status = SerialPort::Open(path.c_str(), 2400, 1);
    if (status == kOpened) return true;
    static const char* const kSteps[] = {"", "it could not be opened", "its time-outs could not be set",
                                         "its line settings could not be set",
                                         "its reader thread could not be started"};
    const int step = status < 0 && status >= -4 ? -status : 1;
    *error = "cannot open serial device '" + path + "': " + kSteps[step] + " (status " +
             std::to_string(status) + ")";
    return false;
  }
  void Close() override { SerialPort::Close(); }
  size_t Write(const uint8_t* bytes, size_t count) override {
    return SerialPort::Write(bytes, static_cast<uint32_t>(count));
  }
  std::string Path() const override { return path; }

 private:
  void OnBytesReceived(const uint8_t* bytes, uint32_t count) override {
    simulator->OnBytes(bytes, count);
  }
  void OnDeviceFailed() override { simulator->OnLineFailed(); }

  const std::string path;
  UnitSimulator* const simulator;
};

// Our own pseudo-terminal pair. We keep the far end open ourselves as well, so the
// line survives the tool closing and reopening its port (with no one holding the far
// end, the near end would report a hang-up). The far end is set raw first: without
// that its line discipline would echo our own frames back to us.
//
// Threads: Open and Close run on the owner thread; the reader thread only reads the
// descriptors between them. Write is called by the simulator's sender thread alone.
class PtyLine : public SimLine {
 public:
  explicit PtyLine(UnitSimulator* simulator) : simulator(simulator) {}
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
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      *error = "cannot create a pipe";
      Close();
      return false;
    }
    stopRequested = false;
    reader = std::thread([this] { ReadLoop(); });
    return true;
  }

  void Close() override {
    if (reader.joinable()) {
      stopRequested = true;
      const char wakeByte = 1;
      (void)!::write(wakePipe[1], &wakeByte, 1);
      reader.join();
    }
    for (int* fd : {&near, &far, &wakePipe[0], &wakePipe[1]}) {
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    size_t written = 0;
    while (written < count) {
      const ssize_t n = ::write(near, bytes + written, count - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd out = {near, POLLOUT, 0};
      ::poll(&out, 1, static_cast<int>(left.count()));
    }
    return written;
  }

  std::string Path() const override { return farPath; }

  bool TakeDroppedNote() override { return dropped.exchange(false); }

 private:
  static constexpr int kUnreadLimit = 1024;

  void ReadLoop() {
    uint8_t buffer[1024];
    pollfd watched[2] = {{near, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    while (!stopRequested) {
      if (::poll(watched, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (stopRequested || watched[1].revents) break;
      const ssize_t got = ::read(near, buffer, sizeof buffer);
      if (got > 0) {
        simulator->OnBytes(buffer, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        simulator->OnLineFailed();
        break;
      }
    }
  }

  UnitSimulator* const simulator;
  int near = -1;
  int far = -1;
  int wakePipe[2] = {-1, -1};
  std::string farPath;
  std::thread reader;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> dropped{false};
};

}  // namespace

SimLine* NewDeviceLine(const std::string& path, UnitSimulator* simulator) {
  return new DeviceLine(path, simulator);
}

SimLine* NewPtyLine(UnitSimulator* simulator) { return new PtyLine(simulator); }
