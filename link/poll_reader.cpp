#include "link/poll_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {
void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}
}  // namespace

bool PollReader::MakeWakePipe() {
  stopRequested = false;
  waits = 0;
  return ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

void PollReader::Start(int device, OnBytes onBytes, OnFailed onFailed) {
  reader = std::thread([this, device, onBytes, onFailed] { Loop(device, onBytes, onFailed); });
}

void PollReader::Stop() {
  if (reader.joinable()) {
    stopRequested = true;
    const char wake = 1;
    (void)!::write(wakePipe[1], &wake, 1);
    reader.join();
  }
  CloseFd(&wakePipe[0]);
  CloseFd(&wakePipe[1]);
}

void PollReader::Loop(int device, const OnBytes& onBytes, const OnFailed& onFailed) {
  uint8_t buffer[1024];
  pollfd watched[2] = {{device, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
  while (!stopRequested) {
    ++waits;
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (stopRequested || watched[1].revents) break;
    const ssize_t got = ::read(device, buffer, sizeof buffer);
    if (got > 0) {
      onBytes(buffer, static_cast<uint32_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      // End of file carries no error of its own; a tty gives it once its far end hung
      // up, and a write to it then fails with EIO (measured here on a pty whose master
      // was closed), so that is the reason the owner is left to read.
      if (got == 0) errno = EIO;
      onFailed();  // the far end has gone: stop instead of spinning on POLLHUP
      break;
    }
  }
}

size_t WriteWithin(int device, const uint8_t* bytes, size_t count, uint32_t limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  size_t written = 0;
  while (written < count) {
    const ssize_t n = ::write(device, bytes + written, count - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd out = {device, POLLOUT, 0};
    ::poll(&out, 1, static_cast<int>(left.count()));
  }
  return written;
}
