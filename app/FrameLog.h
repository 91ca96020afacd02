#ifndef APP_FRAMELOG_H
#define APP_FRAMELOG_H

// FrameLog: the program's frame times, for a person or a benchmark to read.
// When the environment names a file in BRELVIN_FRAME_LOG, every frame drawn
// adds one line to it:
//
//   frame MS SCALE TICKS LOGIC_MS DRAW_MS GAP_MS CPU_MS
//
// MS is the time since the log opened, SCALE what the view shows ("4:1" ...
// "1:8", "whole", or "menu" outside a session), TICKS the logic ticks the
// frame ran, LOGIC_MS and DRAW_MS the time they and the drawing took, and
// GAP_MS the time since the previous frame was drawn (33 ms at 30 frames a
// second), CPU_MS the processor time the main thread spent on the ticks and
// the drawing (far below LOGIC_MS + DRAW_MS: the frame waited for the
// processor or the display). Without the variable it does nothing. Main
// thread only.

#include <chrono>
#include <cstdio>
#include <string>

class FrameLog {
 public:
  // Opens the file BRELVIN_FRAME_LOG names (anew), if any.
  FrameLog();
  ~FrameLog();
  FrameLog(const FrameLog&) = delete;
  FrameLog& operator=(const FrameLog&) = delete;

  bool on() const { return out != nullptr; }
  // Around one frame: before its ticks, after them, and once it is drawn.
  void ticksBegin();
  void ticksEnd(int ticks);
  void drawn(const std::string& scale);

 private:
  typedef std::chrono::steady_clock Clock;

  std::FILE* out;
  Clock::time_point opened, begun, ticked, lastDrawn;
  double cpuBegun;  // the thread's processor time at ticksBegin(), in ms
  int frameTicks;
  bool drawnBefore;
};

#endif  // APP_FRAMELOG_H
