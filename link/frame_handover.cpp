#include "link/frame_handover.h"

void FrameHandover::Deliver(HandoverSteps& steps, bool portClosing) {
  if (delivering) {
    wokenMeanwhile = true;
    return;
  }
  delivering = true;
  const uint32_t sliceStart = steps.Now();
  do {
    wokenMeanwhile = false;
    uint32_t droppedBefore = 0;
    if (next == backlog.size()) {
      next = 0;
      const uint32_t dropped = steps.Take(&backlog);
      const DropEpisode::Notice notice = dropEpisode.OnTake(dropped, steps.Now());
      droppedBefore = notice.before;
      droppedAfter = notice.after;
      if (backlog.empty() && notice.before == 0 && notice.after == 0) break;
    }
    steps.BeginBatch();
    TellDropped(steps, droppedBefore);
    while (next < backlog.size() && SliceGoesOn(portClosing, sliceStart, steps.Now())) {
      steps.Hand(backlog[next++]);
    }
    if (next == backlog.size()) {
      TellDropped(steps, droppedAfter);
      droppedAfter = 0;
    }
    steps.EndBatch();
    if (next < backlog.size()) {
      steps.WakeAgain();
      break;
    }
  } while (wokenMeanwhile || portClosing);
  if (portClosing) TellDropped(steps, dropEpisode.Finish());
  delivering = false;
}
