#pragma once
// The "Message log" box (control 1016 of the "ZVL comms" page) and its copy in
// "ZVL-Log.txt" while "Write to ZVL-Log.txt" (1094) is ticked. The file holds whole
// lines only; when lines cannot go into it the box says so, once, and again when they
// can, but no box pops up.
//
// Lines are normally added one at a time. Between BeginBatch and EndBatch they are
// collected and go into the box in one update, which leaves exactly the text that
// adding and trimming them one by one would: under Wine each box update costs
// milliseconds, so a flood of received frames must not cost one update per line.
//
// Between HoldBox and ReleaseBox the lines go out as usual, file and notices included,
// but the box takes all of them in one update at the end, again as adding them one by
// one would. The box's updates are what costs: under Wine's default theme each one
// redraws the box's themed scroll bar at once, tens of milliseconds on Xvfb, with Wine's
// theme off about one (measured by tests/win/comms_page_test.cpp's box timings).
//
// Threads: the user-interface thread only. The reader thread sends nothing but ACK and
// NAK, which LogSent drops before looking at anything else; any other call from a
// thread that does not own the page is dropped rather than let it wait on a window.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "comms/log_text.h"

class MessageLog {
 public:
  // printf-style text, at most 255 characters.
  void Append(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // "Rx: " and the whole received frame; "Tx: " and the whole sent frame. ACK and NAK
  // are never logged; frame bytes are taken literally.
  void LogReceived(const uint8_t* frame, uint8_t length);
  void LogSent(const uint8_t* frame, uint8_t length);

  // Batches nest; the lines go out when the outermost batch ends.
  void BeginBatch() { ++batchDepth; }
  void EndBatch();
  // Puts collected lines out now, inside a batch or a hold too (before a modal box, say).
  void Flush();
  // Holds do not nest, and are released outside batches.
  void HoldBox() { boxHeld = true; }
  void ReleaseBox();

  HWND pageWindow = nullptr;  // set by the page when its dialog is created

 private:
  struct Line {
    std::string date;
    std::string boxLine;
  };
  static Line MakeLine(const std::string& text);
  void Add(const std::string& text);
  // Puts the collected lines into the file, and into the box unless it is held.
  void PutOut();
  // The lines to the box now, or to those kept for it while it is held.
  void ToBox(const std::vector<Line>& lines);
  void WriteLogBox(const std::vector<Line>& lines);
  // Returns the box's notices about the file (see LogFileNotices).
  std::vector<std::string> WriteLogFile(const std::vector<Line>& lines);

  std::vector<Line> pending;
  std::vector<Line> heldForBox;  // gone to the file, not yet to the held box
  LogFileNotices fileNotices;
  int batchDepth = 0;
  bool boxHeld = false;
};
