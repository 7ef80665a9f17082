// The Win32 serial port against a peer on the far end of a virtual line: the harness
// joins COM1 to COM2 and COM3 to COM4 (bytes written to one end arrive at the other)
// and leaves COM9 absent. The peer end is driven with plain Win32 calls.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/frame_codec.h"
#include "link/serial_port.h"
#include "tests/native/recording_sink.h"

namespace {
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const char kPort1[] = "\\\\.\\COM1";
const char kPeer1[] = "\\\\.\\COM2";
const char kPort3[] = "\\\\.\\COM3";
const char kPeer3[] = "\\\\.\\COM4";
const char kAbsent[] = "\\\\.\\COM9";

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

int ThreadsOfThisProcess() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Polls for something another thread brings about, up to a hang guard.
template <typename Check>
bool Eventually(Check check, int ms = 3000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!check()) {
    if (Clock::now() > deadline) return false;
    Sleep(5);
  }
  return true;
}

// Thread counts settle a moment after a thread ends.
// At most, not exactly: Wine starts and ends helper threads of its own now and then,
// and a reader left running would still show as one thread too many.
bool ThreadsReturnTo(int expected) {
  return Eventually([&] { return ThreadsOfThisProcess() <= expected; }, 2000);
}

// The far end of a line, opened overlapped so that every read has a hard deadline
// whatever the driver does with read time-outs.
class Peer {
 public:
  explicit Peer(const char* path)
      : handle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr)),
        event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!ok()) return;
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 100;
    timeouts.WriteTotalTimeoutConstant = 2000;
    SetCommTimeouts(handle, &timeouts);
  }
  ~Peer() {
    if (ok()) CloseHandle(handle);
    CloseHandle(event);
  }
  bool ok() const { return handle != INVALID_HANDLE_VALUE; }

  bool Send(const Bytes& bytes) {
    OVERLAPPED io = {};
    io.hEvent = event;
    DWORD done = 0;
    if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &done, &io)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      if (!GetOverlappedResult(handle, &io, &done, TRUE)) return false;
    }
    return done == bytes.size();
  }

  // Reads until `want` bytes have come or `ms` have passed; returns what came.
  Bytes Receive(size_t want, DWORD ms = 3000) {
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && Clock::now() < deadline) {
      uint8_t chunk[512];
      OVERLAPPED io = {};
      io.hEvent = event;
      ResetEvent(event);
      DWORD n = 0;
      const DWORD ask = static_cast<DWORD>(std::min(sizeof chunk, want - got.size()));
      if (!ReadFile(handle, chunk, ask, &n, &io)) {
        if (GetLastError() != ERROR_IO_PENDING) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        if (WaitForSingleObject(event, left.count() > 0 ? static_cast<DWORD>(left.count())
                                                          : 0) == WAIT_TIMEOUT) {
          CancelIoEx(handle, &io);
        }
        n = 0;
        GetOverlappedResult(handle, &io, &n, TRUE);
      }
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }

 private:
  HANDLE handle;
  HANDLE event;
};

// Reads and drops whatever an earlier test left queued on a line end.
void Drain(const char* path) {
  Peer end(path);
  if (end.ok()) end.Receive(SIZE_MAX, 150);
}

// Records every batch the reader thread hands over.
class RecordingPort : public SerialPort {
 public:
  ~RecordingPort() override { Close(); }  // the reader calls into this object

  bool WaitForBytes(size_t want, int ms = 3000) {
    std::unique_lock<std::mutex> hold(mutex);
    return arrived.wait_for(hold, std::chrono::milliseconds(ms),
                            [&] { return bytes.size() >= want; });
  }
  Bytes Received() {
    std::lock_guard<std::mutex> hold(mutex);
    return bytes;
  }
  std::vector<uint32_t> Calls() {
    std::lock_guard<std::mutex> hold(mutex);
    return calls;
  }
  // ReaderWaits as the last batch was handed over (on the reader thread).
  uint32_t WaitsAtLastBatch() {
    std::lock_guard<std::mutex> hold(mutex);
    return waitsAtLastBatch;
  }
  // Waits until the reader has begun a wait on the driver since the last batch: it is
  // back in the driver (or about to be), not busy with the bytes.
  bool ReaderBackInTheDriver() {
    return Eventually([&] { return ReaderWaits() > WaitsAtLastBatch(); });
  }

 protected:
  void OnBytesReceived(const uint8_t* data, uint32_t count) override {
    {
      std::lock_guard<std::mutex> hold(mutex);
      bytes.insert(bytes.end(), data, data + count);
      calls.push_back(count);
      waitsAtLastBatch = ReaderWaits();
    }
    arrived.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable arrived;
  Bytes bytes;
  std::vector<uint32_t> calls;
  uint32_t waitsAtLastBatch = 0;
};

class Win32SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    Drain(kPort1);
    Drain(kPeer1);
    Drain(kPort3);
    Drain(kPeer3);
  }
};

TEST_F(Win32SerialPort, OpenFailuresLeaveThePortClosedWithoutAThread) {
  struct Case {
    const char* path;
    int16_t baud;
    int16_t status;
  };
  const Case cases[] = {
      {kAbsent, 2400, SerialPort::kCreateFailed},
      {"\\\\.\\NOSUCHPORT", 2400, SerialPort::kCreateFailed},
      {"", 2400, SerialPort::kCreateFailed},
      {kPort1, 0, SerialPort::kStateFailed},  // would divide by zero for the time-outs
      {kPort1, -2400, SerialPort::kStateFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " at " + std::to_string(c.baud));
    // Counted here, not before the loop: Wine starts a thread of its own lazily.
    const int threadsBefore = ThreadsOfThisProcess();
    SerialPort port;
    EXPECT_EQ(port.Open(c.path, c.baud), c.status);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
    const uint8_t byte = 'x';
    EXPECT_EQ(port.Write(&byte, 1), 0u);
    EXPECT_FALSE(port.Close());
  }
  // Nothing was left holding COM1.
  Peer again(kPort1);
  EXPECT_TRUE(again.ok());
}

TEST_F(Win32SerialPort, DeviceHeldByAnotherHandleCannotBeOpened) {
  if (UnderWine()) GTEST_SKIP() << "Wine does not enforce share mode 0 on serial devices";
  Peer holder(kPort1);
  ASSERT_TRUE(holder.ok());
  SerialPort port;
  EXPECT_EQ(port.Open(kPort1, 2400), SerialPort::kCreateFailed);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(Win32SerialPort, BurstOver1024BytesArrivesInOrderInSeveralBatches) {
  RecordingPort port;
  ASSERT_EQ(port.Open(kPort1, 2400), SerialPort::kOpened);
  Peer peer(kPeer1);
  ASSERT_TRUE(peer.ok());
  Bytes burst(3000);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7 + i / 256);
  ASSERT_TRUE(peer.Send(burst));
  ASSERT_TRUE(port.WaitForBytes(burst.size()));
  EXPECT_EQ(port.Received(), burst);
  const auto calls = port.Calls();
  EXPECT_GE(calls.size(), 3u);
  for (uint32_t n : calls) {
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 1024u);
  }
  // A second burst after a pause is picked up by a reader that went back to waiting.
  ASSERT_TRUE(peer.Send(B("\nafter\r")));
  ASSERT_TRUE(port.WaitForBytes(burst.size() + 7));
  EXPECT_TRUE(port.Close());
}

TEST_F(Win32SerialPort, WriteReachesThePeerWithTheFullCount) {
  SerialPort port;
  ASSERT_EQ(port.Open(kPort1, 2400), SerialPort::kOpened);
  Peer peer(kPeer1);
  ASSERT_TRUE(peer.ok());
  const Bytes frame = {0x0A, 0x7E, 0x52, 0x41, 0x44, 0x0D};
  EXPECT_EQ(port.Write(frame.data(), static_cast<uint32_t>(frame.size())), frame.size());
  EXPECT_EQ(peer.Receive(frame.size()), frame);
}

TEST_F(Win32SerialPort, WriteRefusesNothingToWriteAndAClosedPort) {
  SerialPort port;
  const uint8_t byte = 'x';
  EXPECT_EQ(port.Write(&byte, 1), 0u);  // never opened
  ASSERT_EQ(port.Open(kPort1, 2400), SerialPort::kOpened);
  EXPECT_EQ(port.Write(nullptr, 4), 0u);
  EXPECT_EQ(port.Write(&byte, 0), 0u);
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(port.Write(&byte, 1), 0u);
  EXPECT_FALSE(port.Close());

  Peer peer(kPeer1);
  ASSERT_TRUE(peer.ok());
  EXPECT_TRUE(peer.Receive(1, 200).empty());
}

TEST_F(Win32SerialPort, CloseReleasesAPendingWaitPromptlyAndThePortReopens) {
  RecordingPort port;
  Peer peer(kPeer1);
  ASSERT_TRUE(peer.ok());
  const int threadsBefore = ThreadsOfThisProcess();
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(port.Open(kPort1, 2400), SerialPort::kOpened);
    const size_t before = port.Received().size();
    ASSERT_TRUE(peer.Send(B("ping")));
    ASSERT_TRUE(port.WaitForBytes(before + 4));
    ASSERT_TRUE(port.ReaderBackInTheDriver());  // so Close must cancel a pending wait

    const auto start = Clock::now();
    EXPECT_TRUE(port.Close());
    // A hang guard: without cancelling, a close waits out its full 10 s.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(ThreadsReturnTo(threadsBefore));
  }
}

// A far end that has stopped reading: once the line's buffers are full a write cannot
// complete, and it is given up after about the frame's own time on the line, not
// after the driver's full time-out of a second and more.
TEST_F(Win32SerialPort, WriteToALineThatStoppedTakingBytesIsGivenUpSoon) {
  SerialPort port;
  ASSERT_EQ(port.Open(kPort1, 2400), SerialPort::kOpened);
  Peer peer(kPeer1);  // open, and never read
  ASSERT_TRUE(peer.ok());
  const Bytes chunk(256, 'x');
  size_t taken = 0;
  for (;;) {
    const uint32_t n = port.Write(chunk.data(), static_cast<uint32_t>(chunk.size()));
    taken += n;
    if (n < chunk.size()) break;
    ASSERT_LT(taken, 16u << 20) << "the line never filled up";
  }
  const Bytes frame(25, 'I');
  const auto start = Clock::now();
  const uint32_t written = port.Write(frame.data(), static_cast<uint32_t>(frame.size()));
  const auto took = Clock::now() - start;
  EXPECT_LT(written, frame.size());
  // A hang guard with room for a loaded machine: the limit is 204 ms, the driver's
  // own time-out 1,025 ms.
  EXPECT_LT(took, std::chrono::milliseconds(900));
  EXPECT_TRUE(port.Close());
  peer.Receive(SIZE_MAX, 1000);  // leaves the line empty for the next test
}

// An idle port must sleep in the driver. Wine completes an armed WaitCommEvent now and
// then by itself (this test shows it: a reader that only re-arms its wait, skipping
// the read while the mask is empty, began 7 waits in a third of this quiet stretch
// under Wine 8), so such a reader never rests while the line is quiet. Up to each
// batch the reader begins at most three waits: on Windows the wait, the read of the
// batch and the read that came back empty before; under Wine the wait and the pending
// read, or that read alone.
TEST_F(Win32SerialPort, QuietLineCostsTheReaderNoWakeUps) {
  RecordingPort port;
  ASSERT_EQ(port.Open(kPort1, 2400), SerialPort::kOpened);
  Peer peer(kPeer1);
  ASSERT_TRUE(peer.ok());
  uint32_t quietFrom = 0;  // Open starts the count at 0
  const Bytes frame = {0x0A, 0x7E, 0x54, 0x43, 0x44, 0x0D};
  for (size_t batch = 1; batch <= 2; ++batch) {
    SCOPED_TRACE("batch " + std::to_string(batch));
    // The quiet stretch: frames the other way only, each read back by the peer, which
    // takes longer than many of Wine's wait completions.
    for (int i = 0; i < 150; ++i) {
      ASSERT_EQ(port.Write(frame.data(), static_cast<uint32_t>(frame.size())), frame.size());
      ASSERT_EQ(peer.Receive(frame.size()), frame);
    }
    // The sync point: one batch, handed over once the reader woke for it.
    ASSERT_TRUE(peer.Send(B("s")));
    ASSERT_TRUE(port.WaitForBytes(batch));
    EXPECT_LE(port.WaitsAtLastBatch() - quietFrom, 3u);
    ASSERT_TRUE(port.ReaderBackInTheDriver());
    quietFrom = port.ReaderWaits();
  }
  EXPECT_TRUE(port.Close());
}

TEST_F(Win32SerialPort, OpeningAnotherPortClosesTheFirst) {
  RecordingPort port;
  ASSERT_EQ(port.Open(kPort1, 2400), SerialPort::kOpened);
  const int threadsWithOne = ThreadsOfThisProcess();
  ASSERT_EQ(port.Open(kPort3, 2400), SerialPort::kOpened);
  EXPECT_TRUE(ThreadsReturnTo(threadsWithOne));  // one reader, not two

  // COM1 is free again (it is opened without sharing) ...
  Peer firstAgain(kPort1);
  EXPECT_TRUE(firstAgain.ok());
  // ... and what its far end sends no longer reaches the port, while COM3's does.
  Peer oldPeer(kPeer1);
  Peer newPeer(kPeer3);
  ASSERT_TRUE(oldPeer.ok() && newPeer.ok());
  ASSERT_TRUE(oldPeer.Send(B("old")));
  ASSERT_TRUE(newPeer.Send(B("new")));
  ASSERT_TRUE(port.WaitForBytes(3));
  EXPECT_EQ(firstAgain.Receive(3), B("old"));
  EXPECT_EQ(port.Received(), B("new"));
}

TEST_F(Win32SerialPort, FrameCodecAcknowledgesAReadRequestAndSendsFrames) {
  RecordingSink sink;
  Peer peer(kPeer1);
  ASSERT_TRUE(peer.ok());
  {
    FrameCodec codec(&sink);
    ASSERT_TRUE(codec.OpenPort(kPort1));
    const Bytes request = {0x0A, 0x7E, 0x52, 0x41, 0x44, 0x0D};
    ASSERT_TRUE(peer.Send(request));
    EXPECT_EQ(peer.Receive(3), Bytes({0x0A, 0x2B, 0x0D}));

    const uint8_t transmitterOn[] = {'~', 'T'};
    EXPECT_TRUE(codec.SendFrame(transmitterOn, sizeof transmitterOn));
    EXPECT_EQ(peer.Receive(6), Bytes({0x0A, 0x7E, 0x54, 0x43, 0x44, 0x0D}));

    // The reader logs its ACK after writing it, so it may come second.
    EXPECT_TRUE(Eventually([&] {
      std::lock_guard<std::mutex> hold(sink.mutex);
      return sink.logged.size() == 2;
    }));
    std::lock_guard<std::mutex> hold(sink.mutex);
    EXPECT_EQ(sink.frames, std::vector<Bytes>({request}));
    EXPECT_EQ(std::count(sink.logged.begin(), sink.logged.end(), Bytes({0x0A, 0x2B, 0x0D})), 1);
  }  // the codec closes the port as it goes

  FrameCodec other(&sink);
  EXPECT_FALSE(other.OpenPort(kAbsent));
  ASSERT_EQ(sink.failures.size(), 1u);
  EXPECT_EQ(sink.failures[0], "Failed to open serial port '\\\\.\\COM9'\nError code -1");
  EXPECT_TRUE(other.OpenPort(kPort1));  // the first codec let go of COM1
}
}  // namespace
