// The shell's parts that need Windows but not the sheet: the hand-off of received
// frames from the reader thread to a window, and the centring of dialog templates.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "app/dialog_template.h"
#include "app/link_wiring.h"

namespace {

// ---- centring ---------------------------------------------------------------------

struct TemplateCase {
  const char* name;
  bool extended;
  DWORD style;
};

TEST(DialogTemplate, CentreStyleIsSetWhereEachFormKeepsItsStyle) {
  const TemplateCase cases[] = {
      {"standard", false, WS_POPUP | WS_CAPTION | DS_SETFONT | DS_MODALFRAME},
      {"standard, already centred", false, WS_POPUP | DS_CENTER},
      {"extended", true, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT},
      // Extended template whose help ID and extended style look like a style: only
      // the style at byte 12 may change.
      {"extended, busy header", true, WS_CHILD},
  };
  for (const TemplateCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t bytes[32];
    std::memset(bytes, 0xA5, sizeof bytes);
    size_t styleOffset = 0;
    if (c.extended) {
      const WORD version = 1, signature = 0xFFFF;
      std::memcpy(bytes, &version, 2);
      std::memcpy(bytes + 2, &signature, 2);
      styleOffset = 12;
    }
    std::memcpy(bytes + styleOffset, &c.style, 4);
    uint8_t expected[32];
    std::memcpy(expected, bytes, sizeof bytes);
    const DWORD centred = c.style | DS_CENTER;
    std::memcpy(expected + styleOffset, &centred, 4);

    SetCentreStyle(bytes);
    EXPECT_EQ(0, std::memcmp(expected, bytes, sizeof bytes));
  }
}

// ---- the frame hand-off -----------------------------------------------------------

// A window on the test's thread that takes the frames as the comms page does.
struct Receiver {
  static Receiver* current;
  LinkWiring* wiring = nullptr;
  HWND window = nullptr;
  int wakeUps = 0;
  uint32_t dropped = 0;
  std::vector<ReceivedFrame> frames;

  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kFramesReceivedMessage && current) {
      ++current->wakeUps;
      std::vector<ReceivedFrame> batch;
      current->dropped += current->wiring->TakeReceived(&batch);
      current->frames.insert(current->frames.end(), batch.begin(), batch.end());
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  Receiver() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "VtlFrameReceiver";
    RegisterClassA(&windowClass);
    window = CreateWindowA("VtlFrameReceiver", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
    current = this;
  }
  ~Receiver() {
    DestroyWindow(window);
    current = nullptr;
  }

  // Handles what is posted until `count` frames are in, or two seconds pass.
  void PumpUntil(size_t count) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (frames.size() < count && GetTickCount() - start < 2000) {
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      Sleep(1);
    }
  }
};
Receiver* Receiver::current = nullptr;

HWND frameWindow = nullptr;
std::vector<std::vector<uint8_t>> logged;

LinkTargets TestTargets() {
  return {[] { return false; }, [] { return frameWindow; },
          [] { return HWND(nullptr); },
          [](const uint8_t* frame, uint8_t length) { logged.emplace_back(frame, frame + length); }};
}

std::vector<uint8_t> Frame(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

TEST(LinkWiring, FloodFromAnotherThreadArrivesInOrderWithFewWakeUpsAndStaysBounded) {
  Receiver receiver;
  LinkWiring wiring(TestTargets());
  receiver.wiring = &wiring;
  frameWindow = receiver.window;

  // More frames than a thread's message queue holds (10,000), all pushed before the
  // window runs: one message per frame would lose some at random, and an unbounded
  // queue would keep them all. The queue keeps the oldest it has room for.
  constexpr int kFrames = 20000;
  constexpr size_t kKept = FrameQueue::kDefaultCapacity;
  const DWORD before = GetTickCount();
  std::thread reader([&] {
    for (int i = 0; i < kFrames; ++i) {
      uint8_t frame[6] = {'\n', 'C', uint8_t(i), uint8_t(i >> 8), '0', '\r'};
      wiring.OnFrame(frame, sizeof frame);
    }
  });
  reader.join();
  receiver.PumpUntil(kKept);

  ASSERT_EQ(kKept, receiver.frames.size());
  for (size_t i = 0; i < kKept; ++i) {
    const ReceivedFrame& f = receiver.frames[i];
    ASSERT_EQ(6, f.length);
    ASSERT_EQ(i, size_t(f.bytes[2] | f.bytes[3] << 8)) << "frame " << i << " out of order";
    ASSERT_LE(f.tick - before, 10000u) << "tick not taken at receipt";
  }
  EXPECT_EQ(uint32_t(kFrames - kKept), receiver.dropped);
  // All were pushed before the window ran, so one wake-up served them all.
  EXPECT_EQ(1, receiver.wakeUps);

  // Once taken, the queue has room again: the next frame wakes the window and arrives.
  const uint8_t next[6] = {'\n', 'C', 0xAA, 0xBB, '0', '\r'};
  wiring.OnFrame(next, sizeof next);
  receiver.PumpUntil(kKept + 1);
  ASSERT_EQ(kKept + 1, receiver.frames.size());
  EXPECT_EQ(0xAA, receiver.frames.back().bytes[2]);
  EXPECT_EQ(2, receiver.wakeUps);
}

TEST(LinkWiring, FramesWithoutAWindowAreDroppedAndDoNotBlockLaterOnes) {
  Receiver receiver;
  LinkWiring wiring(TestTargets());
  receiver.wiring = &wiring;

  frameWindow = nullptr;  // the comms page has no window yet
  const auto early = Frame("\nC1234\r");
  wiring.OnFrame(early.data(), early.size());

  frameWindow = receiver.window;
  const auto later = Frame("\nI5678\r");
  wiring.OnFrame(later.data(), later.size());
  receiver.PumpUntil(1);

  ASSERT_EQ(1u, receiver.frames.size());
  EXPECT_EQ(0, std::memcmp(later.data(), receiver.frames[0].bytes, later.size()));
}

TEST(LinkWiring, AcknowledgementsAreNotLoggedOtherSentFramesAre) {
  LinkWiring wiring(TestTargets());
  logged.clear();
  const std::vector<uint8_t> cases[] = {Frame("\n+\r"), Frame("\n-\r"), Frame("\n~R8E\r"),
                                        Frame("\n+AB\r")};
  for (const auto& frame : cases) wiring.LogSent(frame.data(), frame.size());
  ASSERT_EQ(2u, logged.size());
  EXPECT_EQ(Frame("\n~R8E\r"), logged[0]);
  EXPECT_EQ(Frame("\n+AB\r"), logged[1]);  // a longer '+' frame is not an ACK
}

}  // namespace
