#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/frame_handover.h"

namespace {

// What the queue holds at one take: frames named by number, and the count dropped.
struct Queued {
  std::vector<int> frames;
  uint32_t dropped = 0;
};

// Records what the rule does as words: "take", "[" and "]" around a slice, a frame's
// number, "dropped N", "wake". Each frame handed over costs `frameCostMs` of the clock.
struct Recorder : HandoverSteps {
  std::deque<Queued> takes;  // an empty queue once these run out
  uint32_t clock = 0;
  uint32_t frameCostMs = 1;
  std::vector<std::string> said;
  std::function<void(int)> onFrame;  // runs inside Hand, as a modal loop would

  uint32_t Now() override { return clock; }
  uint32_t Take(std::vector<ReceivedFrame>* out) override {
    said.push_back("take");
    out->clear();
    if (takes.empty()) return 0;
    const Queued take = takes.front();
    takes.pop_front();
    for (int number : take.frames) {
      ReceivedFrame f{};
      f.bytes[0] = static_cast<uint8_t>(number);
      f.length = 1;
      out->push_back(f);
    }
    return take.dropped;
  }
  void BeginBatch() override { said.push_back("["); }
  void EndBatch() override { said.push_back("]"); }
  void Hand(const ReceivedFrame& frame) override {
    said.push_back(std::to_string(frame.bytes[0]));
    clock += frameCostMs;
    if (onFrame) onFrame(frame.bytes[0]);
  }
  void TellDropped(uint32_t count) override { said.push_back("dropped " + std::to_string(count)); }
  void WakeAgain() override { said.push_back("wake"); }
};

using Words = std::vector<std::string>;

// One wake-up (or several in a row); each string is what one Deliver call did.
struct DeliveryCase {
  const char* name;
  std::vector<Queued> takes;
  uint32_t frameCostMs;
  std::vector<bool> calls;  // portClosing of each Deliver call, in turn
  std::vector<Words> said;  // per call
};

TEST(FrameHandover, WhatEachWakeUpHandsOverAndWhereDropNoticesGo) {
  constexpr uint32_t kSlice = FrameHandover::kSliceMs;
  const DeliveryCase cases[] = {
      {"an empty queue: a look and nothing else", {}, 1, {false}, {{"take"}}},
      {"one wake-up takes what is queued then, in one batch, and no more",
       {{{1, 2, 3}}, {{4}}}, 1, {false, false},
       {{"take", "[", "1", "2", "3", "]"}, {"take", "[", "4", "]"}}},
      {"a slice ends once its time is up; the rest waits ahead of newer frames",
       {{{1, 2, 3, 4, 5}}, {{6}}}, kSlice / 2, {false, false, false, false},
       {{"take", "[", "1", "2", "]", "wake"},
        {"[", "3", "4", "]", "wake"},
        {"[", "5", "]"},
        {"take", "[", "6", "]"}}},
      {"a closing port has everything handed over now, until the queue is empty",
       {{{1, 2, 3}}, {{4}}}, kSlice, {true},
       {{"take", "[", "1", "2", "3", "]", "take", "[", "4", "]", "take"}}},
      {"a closing port finishes a backlog a slice left",
       {{{1, 2, 3}}}, kSlice, {false, true},
       {{"take", "[", "1", "]", "wake"}, {"[", "2", "3", "]", "take"}}},
      {"an episode is told before the frames of the take that caught up",
       {{{1, 2}, 5}, {{3}}}, 1, {false, false},
       {{"take", "[", "1", "2", "]"}, {"take", "[", "dropped 5", "3", "]"}}},
      {"a caught-up take with no frames still tells the episode",
       {{{1}, 4}, {{}}}, 1, {false, false},
       {{"take", "[", "1", "]"}, {"take", "[", "dropped 4", "]"}}},
      {"the port closing tells an episode still open, after the last frames",
       {{{1, 2}, 6}}, 1, {true},
       {{"take", "[", "1", "2", "]", "take", "[", "dropped 6", "]", "take"}}},
      {"the port closing with an episode open and nothing queued",
       {{{}, 3}}, 1, {true},
       {{"take", "dropped 3"}}},
  };
  for (const DeliveryCase& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder steps;
    steps.takes.assign(c.takes.begin(), c.takes.end());
    steps.frameCostMs = c.frameCostMs;
    FrameHandover handover;
    ASSERT_EQ(c.calls.size(), c.said.size());
    for (size_t i = 0; i < c.calls.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i));
      steps.said.clear();
      handover.Deliver(steps, c.calls[i]);
      EXPECT_EQ(steps.said, c.said[i]);
    }
  }
}

TEST(FrameHandover, TheCutOffEpisodeIsToldOnceTheBacklogIsHandedOver) {
  // Each frame costs the longest episode: the second take cuts the episode off, and its
  // notice waits for the last of that take's three frames, two slices later.
  Recorder steps;
  steps.takes = {{{1}, 2}, {{2, 3, 4}, 3}};
  steps.frameCostMs = DropEpisode::kLongestEpisodeMs;
  FrameHandover handover;
  for (int i = 0; i < 5; ++i) handover.Deliver(steps, false);
  const Words expected = {"take", "[", "1", "]",          // the episode opens with 2
                          "take", "[", "2", "]", "wake",  // 3 more, at its length
                          "[", "3", "]", "wake",
                          "[", "4", "dropped 5", "]",
                          "take"};  // caught up: nothing left to tell
  EXPECT_EQ(steps.said, expected);
}

TEST(FrameHandover, AWakeUpFromAModalLoopInsideADeliveryIsTakenByTheRunningOne) {
  Recorder steps;
  steps.takes = {{{1, 2}}, {{3}}};
  FrameHandover handover;
  std::vector<std::string> inner;
  steps.onFrame = [&](int number) {
    if (number != 1) return;
    const size_t before = steps.said.size();
    handover.Deliver(steps, false);  // a wake-up fetched by a message box's loop
    inner.assign(steps.said.begin() + before, steps.said.end());
  };
  handover.Deliver(steps, false);
  EXPECT_TRUE(inner.empty()) << "the inner call takes nothing and hands nothing over";
  const Words expected = {"take", "[", "1", "2", "]", "take", "[", "3", "]"};
  EXPECT_EQ(steps.said, expected);
}

TEST(FrameHandover, TakenNowUnlessInputOrPaintingWaits) {
  struct Case {
    bool portClosing, waiting, now;
  } cases[] = {{false, false, true}, {false, true, false}, {true, false, true}, {true, true, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(FrameHandover::TakeNow(c.portClosing, c.waiting), c.now)
        << "closing " << c.portClosing << ", waiting " << c.waiting;
  }
}

TEST(FrameHandover, ASliceEndsAfterItsTimeAcrossTheTickCountsWrap) {
  constexpr uint32_t kSlice = FrameHandover::kSliceMs;
  struct Case {
    uint32_t start, now;
    bool closing, goesOn;
  } cases[] = {{100, 100, false, true},
               {100, 100 + kSlice - 1, false, true},
               {100, 100 + kSlice, false, false},
               {0xFFFFFFF0u, 0xFFFFFFF0u + kSlice - 1, false, true},
               {0xFFFFFFF0u, 0xFFFFFFF0u + kSlice, false, false},
               {100, 100 + 10 * kSlice, true, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(FrameHandover::SliceGoesOn(c.closing, c.start, c.now), c.goesOn)
        << c.start << " to " << c.now << (c.closing ? ", closing" : "");
  }
}

}  // namespace
