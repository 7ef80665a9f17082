#pragma once
// A FrameCodec opened on one end of a pseudo-terminal, with the other end held by the
// test: what the codec writes is read back from the far end, and a recording sink keeps
// what it passed on and logged.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "tests/native/frame_text.h"
#include "tests/native/recording_sink.h"

using Bytes = std::vector<uint8_t>;

inline Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Framed(const std::string& payload) { return B(FrameText(payload)); }

// Pseudo-terminal pair in raw mode; `path` is the end a port opens, `far` the fd the
// test reads and writes.
struct PtyPair {
  int far = -1;
  int near = -1;
  std::string path;
  PtyPair() {
    char name[128];
    if (::openpty(&far, &near, name, nullptr, nullptr) != 0) return;
    path = name;
    termios raw{};
    ::tcgetattr(far, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(far, TCSANOW, &raw);
  }
  ~PtyPair() {
    if (far >= 0) ::close(far);
    if (near >= 0) ::close(near);
  }
  void Send(const Bytes& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(far, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  // Reads until `marker` has arrived and returns what came before it.
  Bytes ReadUntil(uint8_t marker, int timeoutMs = 5000) const {
    Bytes got;
    for (;;) {
      pollfd in = {far, POLLIN, 0};
      if (::poll(&in, 1, timeoutMs) <= 0) return got;
      uint8_t b;
      if (::read(far, &b, 1) != 1) return got;
      if (b == marker) return got;
      got.push_back(b);
    }
  }
};
