#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link/bit_text.h"
#include "link/frame_codec.h"
#include "link/frame_queue.h"
#include "link/hex.h"
#include "tests/native/link_fixture.h"

namespace {

constexpr uint8_t kMarker = 0xFF;  // never part of a reply; ends what the test reads back

Bytes WithBadChecksum(Bytes f) {
  f[f.size() - 3] = (f[f.size() - 3] == '0') ? '1' : '0';
  return f;
}

const Bytes kAck = {0x0A, '+', 0x0D};
const Bytes kNak = {0x0A, '-', 0x0D};

class CodecOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pty.path.empty());
    codec.SetSink(&sink);
    ASSERT_TRUE(codec.OpenPort(pty.path.c_str()));
  }
  void Feed(const Bytes& bytes) { codec.OnBytesReceived(bytes.data(), bytes.size()); }
  // Everything the codec has written so far.
  Bytes Written() {
    EXPECT_TRUE(codec.SendRaw(&kMarker, 1));
    return pty.ReadUntil(kMarker);
  }
  std::vector<Bytes> Passed() {
    std::lock_guard<std::mutex> hold(sink.mutex);
    return sink.frames;
  }

  PtyPair pty;
  RecordingSink sink;
  FrameCodec codec;
};

struct DispatchCase {
  const char* name;
  Bytes input;
  bool respond;
  Bytes reply;
  std::vector<Bytes> passed;
};

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kGoodC = Framed("C002FFFFFFFF");
const Bytes kGoodI = Framed("I00210200000:");
const Bytes kGoodTilde = Framed("~r3105C3DBFB216000D0");

std::vector<DispatchCase> DispatchCases() {
  Bytes longLine = {0x0A};
  for (int i = 1; i < 69; ++i) longLine.push_back(static_cast<uint8_t>('B'));
  longLine[1] = 'B';
  longLine.push_back(0x0D);  // 70 bytes in all
  Bytes longLineSeen(longLine.begin(), longLine.begin() + 63);
  longLineSeen.push_back(0x0D);

  return {
      {"AckPassedWithoutReply", kAck, false, {}, {kAck}},
      {"NakPassedWithoutReply", kNak, true, {}, {kNak}},
      {"LineFeedMidLineRestarts", {0x0A, 'C', 0x0A, '+', 0x0D}, true, {}, {kAck}},
      {"BadControlsQuietWhenNotResponding", WithBadChecksum(kGoodC), false, {}, {}},
      {"BadControlsNakWhenResponding", WithBadChecksum(kGoodC), true, kNak, {}},
      {"GoodControlsPassedWithoutReply", kGoodC, false, {}, {kGoodC}},
      {"GoodControlsAckedWhenResponding", kGoodC, true, kAck, {kGoodC}},
      {"BadIndicationsNakWhenResponding", WithBadChecksum(kGoodI), true, kNak, {}},
      {"GoodIndicationsAckedWhenResponding", kGoodI, true, kAck, {kGoodI}},
      {"ConfigFrameAckedWhateverRespond", kGoodTilde, false, kAck, {kGoodTilde}},
      {"BadConfigFrameNakedWhateverRespond", WithBadChecksum(kGoodTilde), false, kNak, {}},
      {"TypeAAckedWithoutChecksum", {0x0A, 'A', 0x0D}, false, kAck, {{0x0A, 'A', 0x0D}}},
      {"TypeBPassedWithoutReply", {0x0A, 'B', 'x', 0x0D}, true, {}, {{0x0A, 'B', 'x', 0x0D}}},
      {"PollPassedUncheckedWithoutReply", {0x0A, 'R', 0x0D}, true, {}, {{0x0A, 'R', 0x0D}}},
      {"UnknownTypeDropped", Framed("X12"), true, {}, {}},
      {"NoLineFeedDropped", {'C', '0', '0', 0x0D}, true, {}, {}},
      {"TooShortDropped", {0x0A, 0x0D}, true, {}, {}},
      {"ThreeByteControlsFails", {0x0A, 'C', 0x0D}, true, kNak, {}},
      {"LowerCaseDigitsAccepted", {0x0A, 0x7E, 0x52, 'a', 'd', 0x0D}, false, kAck,
       {{0x0A, 0x7E, 0x52, 'a', 'd', 0x0D}}},
      {"SwappedDigitsRejected", {0x0A, 0x7E, 0x52, 'D', 'A', 0x0D}, false, kNak, {}},
      // 0x0A + '~' + 'x' = 0x100: a sum of 0 also matches two non-digits.
      {"NonDigitsCountAsZero", {0x0A, '~', 'x', 'G', 0x80, 0x0D}, false, kAck,
       {{0x0A, '~', 'x', 'G', 0x80, 0x0D}}},
      {"OverlongLineDispatchedAs64", longLine, false, {}, {longLineSeen}},
      {"TwoFramesInOneReadInOrder", Join({kGoodTilde, kAck}), false, kAck, {kGoodTilde, kAck}},
      {"GarbageBeforeFrameDiscarded", Join({{'z', 'z', 0x0D, 'q'}, kAck}), false, {}, {kAck}},
  };
}

class Dispatch : public CodecOnPty, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(Dispatch, RepliesAndPassesOn) {
  const DispatchCase& c = GetParam();
  sink.respond = c.respond;
  Feed(c.input);
  EXPECT_EQ(Written(), c.reply);
  EXPECT_EQ(Passed(), c.passed);
}

INSTANTIATE_TEST_SUITE_P(FrameDispatch, Dispatch, ::testing::ValuesIn(DispatchCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CodecOnPty, FrameSplitOverReadsIsDispatchedOnce) {
  Feed({0x0A, 0x7E, 0x52});
  EXPECT_TRUE(Passed().empty());
  Feed({0x41, 0x44, 0x0D});
  EXPECT_EQ(Passed(), (std::vector<Bytes>{{0x0A, 0x7E, 0x52, 0x41, 0x44, 0x0D}}));
  EXPECT_EQ(Written(), kAck);
}

TEST_F(CodecOnPty, EveryByteSplitGivesTheSameResultAsOneRead) {
  const Bytes stream = Join({kGoodC, {'j', 'u', 'n', 'k'}, kGoodTilde, kAck, kGoodI});
  sink.respond = true;
  for (uint8_t b : stream) Feed({b});
  EXPECT_EQ(Passed(), (std::vector<Bytes>{kGoodC, kGoodTilde, kAck, kGoodI}));
  EXPECT_EQ(Written(), Join({kAck, kAck, kAck}));
}

struct SendCase {
  std::string payload;
  Bytes wire;
};

class SendFrameBytes : public CodecOnPty, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendFrameBytes, WritesFrameAndLogsIt) {
  const SendCase& c = GetParam();
  ASSERT_TRUE(codec.SendFrame(reinterpret_cast<const uint8_t*>(c.payload.data()),
                              c.payload.size()));
  EXPECT_EQ(Written(), c.wire);
  std::lock_guard<std::mutex> hold(sink.mutex);
  ASSERT_FALSE(sink.logged.empty());
  EXPECT_EQ(sink.logged.front(), c.wire);
}

INSTANTIATE_TEST_SUITE_P(
    FrameBuilder, SendFrameBytes,
    ::testing::Values(SendCase{"~R", {0x0A, 0x7E, 0x52, 0x41, 0x44, 0x0D}},
                      SendCase{"~T", {0x0A, 0x7E, 0x54, 0x43, 0x44, 0x0D}},
                      SendCase{"~t", {0x0A, 0x7E, 0x74, 0x43, 0x46, 0x0D}},
                      SendCase{"R", {0x0A, 0x52, 0x43, 0x35, 0x0D}},
                      SendCase{"I00210200000:",
                               {0x0A, 0x49, 0x30, 0x30, 0x32, 0x31, 0x30, 0x32, 0x30, 0x30,
                                0x30, 0x30, 0x30, 0x3A, 0x32, 0x41, 0x0D}},
                      SendCase{"~WC3DBFB216000D0", B("\n~WC3DBFB216000D000\r")}));

TEST_F(CodecOnPty, SendFrameRefusesEmptyAbsentAndOverlongPayloads) {
  const Bytes big(252, 'B');
  EXPECT_FALSE(codec.SendFrame(big.data(), 0));
  EXPECT_FALSE(codec.SendFrame(nullptr, 2));
  EXPECT_FALSE(codec.SendFrame(big.data(), 252));
  EXPECT_TRUE(sink.logged.empty());
  EXPECT_EQ(Written(), Bytes{});
  // 251 bytes is the longest payload whose frame length fits in 8 bits.
  EXPECT_TRUE(codec.SendFrame(big.data(), 251));
  EXPECT_EQ(Written().size(), 255u);
}

TEST(FrameCodecClosed, SendsNothingAndLogsNothing) {
  RecordingSink sink;
  FrameCodec codec(&sink);
  const uint8_t payload[] = {'~', 'R'};
  EXPECT_FALSE(codec.SendFrame(payload, 2));
  EXPECT_FALSE(codec.SendRaw(payload, 2));
  EXPECT_TRUE(sink.logged.empty());
  codec.ClosePort();  // nothing opened: nothing to do
  EXPECT_FALSE(codec.IsOpened());
}

TEST(FrameCodecOpen, MissingDeviceReportsTheStatusAndStaysClosed) {
  RecordingSink sink;
  FrameCodec codec(&sink);
  EXPECT_FALSE(codec.OpenPort("/nonexistent/COM3"));
  ASSERT_EQ(sink.failures.size(), 1u);
  EXPECT_EQ(sink.failures[0], "Failed to open serial port '/nonexistent/COM3'\nError code -1");
  EXPECT_FALSE(codec.IsOpen());
  EXPECT_FALSE(codec.IsOpened());
}

TEST(FrameCodecOpen, FailedSecondOpenLeavesOpenedSetButEverySendFails) {
  PtyPair pty;
  RecordingSink sink;
  FrameCodec codec(&sink);
  ASSERT_TRUE(codec.OpenPort(pty.path.c_str()));
  EXPECT_FALSE(codec.OpenPort("/nonexistent/COM4"));
  EXPECT_TRUE(codec.IsOpened());
  EXPECT_FALSE(codec.IsOpen());
  const uint8_t payload[] = {'~', 'R'};
  EXPECT_FALSE(codec.SendFrame(payload, 2));
  codec.ClosePort();
  EXPECT_FALSE(codec.IsOpened());
}

// The edges of each digit range, where an off-by-one would show.
TEST(HexDigits, EdgesOfEachRange) {
  struct Case {
    uint8_t character;
    bool digit;
    uint8_t value;
  } cases[] = {
      {'/', false, 0}, {'0', true, 0},   {'9', true, 9},    {':', false, 0},
      {'@', false, 0}, {'A', true, 10},  {'F', true, 15},   {'G', false, 0},
      {'`', false, 0}, {'a', true, 10},  {'f', true, 15},   {'g', false, 0},
      {0x00, false, 0}, {0xB0, false, 0}, {0xE1, false, 0},  // bytes above 0x7F: no digits in any locale
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsHexDigit(c.character), c.digit) << "byte " << int{c.character};
    EXPECT_EQ(HexValue(c.character), c.value) << "byte " << int{c.character};
  }
  uint8_t digit = 0;
  HexDigit(&digit, 0x3A);  // only the low four bits count
  EXPECT_EQ(digit, 'A');
}

// The user sees these numbers ("Error code -3"), and the programs built on the port
// describe each one in words.
TEST(OpenStatus, NumbersAndWordsStayAsUsersKnowThem) {
  struct Case {
    int status;
    int number;
    const char* words;
  } cases[] = {
      {SerialPort::kOpened, 1, "opened"},
      {SerialPort::kCreateFailed, -1, "the device could not be opened"},
      {SerialPort::kTimeoutsFailed, -2, "its time-outs could not be set"},
      {SerialPort::kStateFailed, -3, "its line settings could not be set"},
      {SerialPort::kThreadFailed, -4, "its reader thread could not be started"},
      {0, 0, ""},
      {-5, -5, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, c.number);
    EXPECT_STREQ(SerialPort::OpenStatusText(c.status), c.words) << c.number;
  }
}

TEST(BitText, BitZeroFirstAndASpaceAfterEachByte) {
  const uint8_t bytes[] = {0x01, 0x80, 0xA5};
  EXPECT_EQ(BitText(bytes, 3), "10000000 00000001 10100101 ");
  EXPECT_EQ(BitText(bytes, 0), "");
}

TEST(OpenFailureText, PathAndStatusInTheirPlaces) {
  char text[64];
  FormatOpenFailure(text, sizeof text, "\\\\.\\COM3", -1);
  EXPECT_STREQ(text, "Failed to open serial port '\\\\.\\COM3'\nError code -1");
}

// --- The POSIX port on a real pseudo-terminal: the path the frames really take.

struct CountingPort : SerialPort {
  std::mutex mutex;
  Bytes received;
  std::vector<uint32_t> callSizes;
  std::atomic<bool> failed{false};
  void OnBytesReceived(const uint8_t* bytes, uint32_t count) override {
    std::lock_guard<std::mutex> hold(mutex);
    received.insert(received.end(), bytes, bytes + count);
    callSizes.push_back(count);
  }
  void OnDeviceFailed() override { failed = true; }
  size_t Size() {
    std::lock_guard<std::mutex> hold(mutex);
    return received.size();
  }
};

template <typename Pred>
bool WaitFor(Pred pred) {
  for (int i = 0; i < 500; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

TEST(PosixSerialPort, BurstArrivesInOrderInCallsOfAtMost1024) {
  PtyPair pty;
  CountingPort port;
  ASSERT_EQ(port.Open(pty.path.c_str(), 2400), SerialPort::kOpened);
  Bytes burst(5000);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7);
  pty.Send(burst);
  ASSERT_TRUE(WaitFor([&] { return port.Size() == burst.size(); }));
  std::lock_guard<std::mutex> hold(port.mutex);
  EXPECT_EQ(port.received, burst);
  EXPECT_GT(port.callSizes.size(), 1u);
  for (uint32_t n : port.callSizes) EXPECT_TRUE(n >= 1 && n <= 1024);
}

TEST(PosixSerialPort, WriteRefusesNothingToWriteAndClosedPort) {
  PtyPair pty;
  SerialPort port;
  const uint8_t byte = 'x';
  EXPECT_EQ(port.Write(&byte, 1), 0u);
  EXPECT_FALSE(port.Close());
  ASSERT_EQ(port.Open(pty.path.c_str(), 2400), SerialPort::kOpened);
  EXPECT_EQ(port.Write(nullptr, 1), 0u);
  EXPECT_EQ(port.Write(&byte, 0), 0u);
  EXPECT_EQ(port.Write(&byte, 1), 1u);
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(port.Write(&byte, 1), 0u);
}

TEST(PosixSerialPort, OpeningAnotherDeviceClosesTheFirst) {
  PtyPair first, second;
  CountingPort port;
  ASSERT_EQ(port.Open(first.path.c_str(), 2400), SerialPort::kOpened);
  ASSERT_EQ(port.Open(second.path.c_str(), 2400), SerialPort::kOpened);
  first.Send({'a'});
  second.Send({'b'});
  ASSERT_TRUE(WaitFor([&] { return port.Size() == 1; }));
  std::lock_guard<std::mutex> hold(port.mutex);
  EXPECT_EQ(port.received, Bytes{'b'});
}

TEST(PosixSerialPort, UnsupportedRateIsAStateFailure) {
  PtyPair pty;
  SerialPort port;
  EXPECT_EQ(port.Open(pty.path.c_str(), 1234), SerialPort::kStateFailed);
  EXPECT_FALSE(port.IsOpen());
}

TEST(PosixSerialPort, VanishedFarEndEndsTheReaderAndCloseStillWorks) {
  auto pty = std::make_unique<PtyPair>();
  CountingPort port;
  ASSERT_EQ(port.Open(pty->path.c_str(), 2400), SerialPort::kOpened);
  ::close(pty->far);
  pty->far = -1;
  EXPECT_TRUE(WaitFor([&] { return port.failed.load(); }));
  EXPECT_TRUE(port.Close());
}

// The reader sleeps in poll between batches, however long the line stays quiet: each
// batch costs one wait, so the count after a quiet stretch shows a spinning reader.
TEST(PosixSerialPort, ReaderWaitsOncePerBatchAndNotWhileTheLineIsQuiet) {
  PtyPair pty;
  CountingPort port;
  ASSERT_EQ(port.Open(pty.path.c_str(), 2400), SerialPort::kOpened);
  for (size_t batch = 1; batch <= 20; ++batch) {
    pty.Send({static_cast<uint8_t>(batch)});
    ASSERT_TRUE(WaitFor([&] { return port.Size() == batch; }));
    // The reader is back in poll, or about to be.
    ASSERT_TRUE(WaitFor([&] { return port.ReaderWaits() == batch + 1; }));
  }
  // A quiet stretch of writes the other way, then one more batch as the sync point.
  for (int i = 0; i < 20; ++i) {
    const uint8_t b = 'w';
    ASSERT_EQ(port.Write(&b, 1), 1u);
    ASSERT_EQ(pty.ReadUntil('w'), Bytes{});
  }
  pty.Send({'s'});
  ASSERT_TRUE(WaitFor([&] { return port.Size() == 21; }));
  ASSERT_TRUE(WaitFor([&] { return port.ReaderWaits() >= 22; }));
  EXPECT_EQ(port.ReaderWaits(), 22u);
  EXPECT_TRUE(port.Close());
}

// The codec on a pty whose far end closes: the sink hears of it once, DeviceLost holds
// until the port is closed, and a port opened afterwards starts with no loss.
struct LossSink : RecordingSink {
  std::atomic<int> losses{0};
  void OnDeviceLost() override { ++losses; }
};

TEST(FrameCodecLoss, FarEndClosingIsReportedOnceAndClearedByClosing) {
  auto pty = std::make_unique<PtyPair>();
  LossSink sink;
  FrameCodec codec(&sink);
  ASSERT_TRUE(codec.OpenPort(pty->path.c_str()));
  EXPECT_FALSE(codec.DeviceLost());
  ::close(pty->far);
  pty->far = -1;
  ASSERT_TRUE(WaitFor([&] { return codec.DeviceLost(); }));
  EXPECT_EQ(sink.losses.load(), 1);
  EXPECT_TRUE(codec.IsOpened());  // closing is the owner's business
  const uint8_t payload[] = {'~', 'R'};
  EXPECT_FALSE(codec.SendFrame(payload, 2));
  codec.ClosePort();
  EXPECT_FALSE(codec.DeviceLost());

  PtyPair back;
  ASSERT_TRUE(codec.OpenPortQuietly(back.path.c_str()));
  EXPECT_FALSE(codec.DeviceLost());
  EXPECT_TRUE(codec.SendFrame(payload, 2));
  EXPECT_EQ(back.ReadUntil('\r'), Bytes({0x0A, '~', 'R', 'A', 'D'}));
  EXPECT_EQ(sink.losses.load(), 1);
}

TEST(FrameCodecLoss, OpeningAnotherPortForgetsTheLostOne) {
  auto lost = std::make_unique<PtyPair>();
  PtyPair other;
  LossSink sink;
  FrameCodec codec(&sink);
  ASSERT_TRUE(codec.OpenPort(lost->path.c_str()));
  lost.reset();  // both ends gone
  ASSERT_TRUE(WaitFor([&] { return codec.DeviceLost(); }));
  ASSERT_TRUE(codec.OpenPort(other.path.c_str()));
  EXPECT_FALSE(codec.DeviceLost());
}

TEST(FrameCodecLoss, QuietOpenOfAMissingDeviceShowsNothing) {
  LossSink sink;
  FrameCodec codec(&sink);
  EXPECT_FALSE(codec.OpenPortQuietly("/nonexistent/COM1"));
  EXPECT_TRUE(sink.failures.empty());
  EXPECT_FALSE(codec.IsOpened());
  EXPECT_EQ(sink.losses.load(), 0);
}

// --- The hand-off to the user-interface thread.

// Frames that wait in the line when the port opens are read at once, by a reader that
// may run before OpenPort has returned: each still gets its ACK. Many opens, since
// the reader winning that race is a matter of scheduling.
TEST(FrameCodecOpen, FramesWaitingWhenThePortOpensAreAnswered) {
  for (int round = 0; round < 50; ++round) {
    PtyPair pty;
    RecordingSink sink;
    sink.respond = true;
    FrameCodec codec(&sink);
    pty.Send(Join({kGoodC, kGoodC}));
    // Waiting to be read, as frames the unit sent before the port was opened are.
    pollfd waiting = {pty.near, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 5000), 1);
    ASSERT_TRUE(codec.OpenPort(pty.path.c_str()));
    ASSERT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> hold(sink.mutex);
      return sink.frames.size() == 2;
    }));
    codec.ClosePort();
    ASSERT_EQ(pty.ReadUntil(kMarker, 0), Join({kAck, kAck})) << "round " << round;
  }
}

TEST(FrameQueue, WakesOncePerBatchAndKeepsOrder) {
  FrameQueue queue;
  const uint8_t a[] = {0x0A, '+', 0x0D};
  const uint8_t b[] = {0x0A, '-', 0x0D};
  EXPECT_TRUE(queue.Push(a, 3, 100));
  EXPECT_FALSE(queue.Push(b, 3, 101));
  std::vector<ReceivedFrame> taken;
  queue.TakeAll(&taken);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].bytes[1], '+');
  EXPECT_EQ(taken[0].tick, 100u);
  EXPECT_EQ(taken[1].bytes[1], '-');
  EXPECT_TRUE(queue.Push(a, 3, 102));  // empty again: the next frame wakes the consumer
  queue.Clear();
  queue.TakeAll(&taken);
  EXPECT_TRUE(taken.empty());
}

TEST(FrameQueue, ConcurrentProducerLosesNothingWhileThereIsRoom) {
  constexpr uint32_t kFrames = 20000;
  FrameQueue queue(kFrames);
  std::thread producer([&] {
    for (uint32_t i = 0; i < kFrames; ++i) {
      const uint8_t frame[] = {0x0A, 'C', static_cast<uint8_t>(i), 0x0D};
      queue.Push(frame, 4, i);
    }
  });
  uint32_t next = 0;
  std::vector<ReceivedFrame> taken;
  while (next < kFrames) {
    queue.TakeAll(&taken);
    for (const ReceivedFrame& f : taken) {
      ASSERT_EQ(f.tick, next);
      ASSERT_EQ(f.bytes[2], static_cast<uint8_t>(next));
      ++next;
    }
  }
  producer.join();
}

TEST(FrameQueue, FullQueueDropsTheNewestCountsThemAndKeepsTheRestInOrder) {
  FrameQueue queue(3);
  const auto push = [&](uint8_t n) {
    const uint8_t frame[] = {0x0A, 'C', n, 0x0D};
    return queue.Push(frame, 4, n);
  };
  EXPECT_TRUE(push(0));
  EXPECT_FALSE(push(1));
  EXPECT_FALSE(push(2));
  EXPECT_FALSE(push(3));  // full: dropped, and no second wake-up
  EXPECT_FALSE(push(4));
  std::vector<ReceivedFrame> taken;
  EXPECT_EQ(queue.TakeAll(&taken), 2u);
  ASSERT_EQ(taken.size(), 3u);
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(taken[i].bytes[2], i);
  // The count resets with each take, and there is room again.
  EXPECT_TRUE(push(5));
  EXPECT_EQ(queue.TakeAll(&taken), 0u);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].bytes[2], 5);
  // Clearing forgets the frames and the count: nobody is left to tell.
  for (uint8_t i = 0; i < 5; ++i) push(i);
  queue.Clear();
  EXPECT_EQ(queue.TakeAll(&taken), 0u);
  EXPECT_TRUE(taken.empty());
}

TEST(FrameQueue, FloodFasterThanTheConsumerStaysBoundedAndInOrder) {
  FrameQueue queue(64);
  constexpr uint32_t kFrames = 200000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (uint32_t i = 0; i < kFrames; ++i) {
      const uint8_t frame[] = {0x0A, 'C', 0x0D};
      queue.Push(frame, 3, i);
    }
    done = true;
  });
  uint64_t taken = 0, dropped = 0;
  uint32_t last = 0;
  bool first = true;
  std::vector<ReceivedFrame> batch;
  for (bool more = true; more;) {
    more = !done;  // one more take after the producer has finished
    dropped += queue.TakeAll(&batch);
    ASSERT_LE(batch.size(), 64u);
    for (const ReceivedFrame& f : batch) {
      if (!first) {
        ASSERT_GT(f.tick, last) << "reordered";
      }
      last = f.tick;
      first = false;
    }
    taken += batch.size();
  }
  producer.join();
  EXPECT_EQ(taken + dropped, kFrames);  // every frame either handed over or counted
}

// Each row: the drops at successive takes (with their times) and the notices expected.
struct EpisodeStep {
  uint32_t dropped;
  uint32_t now;
  uint32_t before;
  uint32_t after;
};
struct EpisodeCase {
  const char* name;
  std::vector<EpisodeStep> steps;
  uint32_t atClose;  // what Finish reports after the steps
};

TEST(DropEpisode, ToldOncePerEpisodeWhereTheFramesWentMissing) {
  constexpr uint32_t kLong = DropEpisode::kLongestEpisodeMs;
  const EpisodeCase cases[] = {
      {"nothing dropped, nothing told", {{0, 0, 0, 0}, {0, 10, 0, 0}}, 0},
      {"one episode is told, in total, before the first take that drops nothing",
       {{5, 100, 0, 0}, {7, 200, 0, 0}, {1, 300, 0, 0}, {0, 400, 13, 0}, {0, 500, 0, 0}},
       0},
      {"two episodes apart are told apart",
       {{2, 0, 0, 0}, {0, 10, 2, 0}, {3, 20, 0, 0}, {0, 30, 3, 0}},
       0},
      {"a flood that never lets the window catch up is told every few seconds",
       {{4, 1000, 0, 0}, {4, 1000 + kLong - 1, 0, 0}, {4, 1000 + kLong, 0, 12}, {4, 1000 + kLong + 1, 0, 0},
        {0, 1000 + kLong + 2, 4, 0}},
       0},
      {"across the tick count's wrap",
       {{1, 0xFFFFFFF0u, 0, 0}, {1, 0xFFFFFFF0u + kLong, 0, 2}},
       0},
      {"the port closes in the middle of an episode", {{6, 0, 0, 0}, {3, 10, 0, 0}}, 9},
  };
  for (const EpisodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    DropEpisode episode;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("take " + std::to_string(i));
      const EpisodeStep& step = c.steps[i];
      const DropEpisode::Notice notice = episode.OnTake(step.dropped, step.now);
      EXPECT_EQ(notice.before, step.before);
      EXPECT_EQ(notice.after, step.after);
    }
    EXPECT_EQ(episode.Finish(), c.atClose);
    EXPECT_EQ(episode.Finish(), 0u);  // and the count has reset
  }
}

TEST(SerialPortWriteLimit, TheLinesOwnTimeForTheBytesAndAShortAllowance) {
  struct Case {
    uint32_t count, baud, ms;
  } cases[] = {
      {25, 2400, 105 + SerialPort::kWriteAllowanceMs},  // the longest indications frame
      {3, 2400, 13 + SerialPort::kWriteAllowanceMs},    // ACK: 12.5 ms, rounded up
      {6, 2400, 25 + SerialPort::kWriteAllowanceMs},    // "~R"
      {1024, 19200, 534 + SerialPort::kWriteAllowanceMs},
      {5, 0, SerialPort::kWriteAllowanceMs},  // no rate known
      {0xFFFFFFFFu, 300, 0xFFFFFFFEu},  // capped, never taken as INFINITE
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SerialPort::WriteTimeLimitMs(c.count, c.baud), c.ms) << c.count << " at " << c.baud;
  }
}

}  // namespace
