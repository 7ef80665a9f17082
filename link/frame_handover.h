#pragma once
// The rule by which the user-interface thread hands received frames to the pages: what
// one wake-up takes, how long it may hand frames over, when it asks to be woken again,
// and where the notices of dropped frames go among the logged frames. The Win32 layer
// (app/frame_delivery.cpp) supplies the clock, the queue, the pages and the wake-up
// message through HandoverSteps; the rule itself knows nothing of windows.
//
// One wake-up takes what is queued at that moment and no more: frames that arrive
// meanwhile post a wake-up of their own. Taking them here as well would, under a steady
// stream, never return to the message loop, and the window would stop answering.
//
// A message box shown while a frame is handled (a failed answer to an "R" frame) runs a
// modal loop, which may bring the next wake-up here before this batch is done. That call
// leaves the new frames queued and says so; the running delivery takes them after its
// own, so the order holds.
//
// A batch is handed over in slices of at most kSliceMs: a frame can cost a write (the
// answer to an "R" frame), and a full queue of those would hold the window for seconds.
// What a slice leaves waits in the backlog, ahead of anything queued since, and the
// slice asks for the wake-up that brings the rest.
//
// Threads: the user-interface thread only, like the pages it feeds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/frame_queue.h"

// What a delivery does outside the rule. Called on the user-interface thread.
class HandoverSteps {
 public:
  virtual uint32_t Now() = 0;  // milliseconds, wrapping
  // Every frame queued so far, oldest first; returns how many were dropped since.
  virtual uint32_t Take(std::vector<ReceivedFrame>* out) = 0;
  // Around the frames of one slice, so the pages redraw once per slice.
  virtual void BeginBatch() = 0;
  virtual void EndBatch() = 0;
  virtual void Hand(const ReceivedFrame& frame) = 0;
  // `count` (> 0) frames went missing: the log's notice.
  virtual void TellDropped(uint32_t count) = 0;
  // Asks for one more wake-up, for the backlog a slice left.
  virtual void WakeAgain() = 0;

 protected:
  ~HandoverSteps() = default;
};

class FrameHandover {
 public:
  static constexpr uint32_t kSliceMs = 50;

  // A wake-up: whether the frames are taken in now or left for a timer. Posted messages
  // are fetched before input and painting, so under a stream of frames faster than the
  // page takes them in a wake-up would always be waiting and the user could not even
  // choose "None"; with input or painting waiting, the frames wait instead. A port that
  // has just been closed has its frames taken in now, whatever waits.
  static bool TakeNow(bool portClosing, bool inputOrPaintWaiting) {
    return portClosing || !inputOrPaintWaiting;
  }

  // Hands over what the rule allows now. portClosing: the port's last frames are being
  // taken in, all of them now, and an episode of dropped frames still open is told
  // before the port's closing is logged. A call made while a delivery runs (from a modal
  // loop inside it) only notes that frames wait; the running one takes them.
  void Deliver(HandoverSteps& steps, bool portClosing);

  // Whether a slice that began at `sliceStart` may hand over one more frame at `now`.
  static bool SliceGoesOn(bool portClosing, uint32_t sliceStart, uint32_t now) {
    return portClosing || now - sliceStart < kSliceMs;  // unsigned: right across the wrap
  }

 private:
  void TellDropped(HandoverSteps& steps, uint32_t count) {
    if (count > 0) steps.TellDropped(count);
  }

  std::vector<ReceivedFrame> backlog;  // taken from the queue at one take
  size_t next = 0;                     // the first of the backlog not yet handed over
  uint32_t droppedAfter = 0;           // told once the backlog is all handed over
  DropEpisode dropEpisode;
  bool delivering = false;      // a delivery runs (a modal loop may call in again)
  bool wokenMeanwhile = false;  // a wake-up came while it ran
};
