#ifndef APP_HEADLESSSESSION_H
#define APP_HEADLESSSESSION_H

// HeadlessSession: a session peer without a display, for the headless host
// and the test peer. It is the program's own session: the network engine,
// the canvas and the network facade, stepped the way the game engine steps
// them (the engine polled between ticks, 30 ticks a second), with Allegro on
// memory bitmaps and the program's palette (AllegWorker::initHeadless,
// called first). Members go facade first, then canvas, then engine, as in
// the game. Main thread only.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "DEngine.h"
#include "NetSystem.h"
#include "WorldMap.h"

class HeadlessSession {
 public:
  static constexpr int TICK_MS = 33;

  struct Line {
    std::string owner;
    std::string text;
    bool status;  // a status line (colour 80), already on standard output
  };

  HeadlessSession();
  HeadlessSession(const HeadlessSession&) = delete;
  HeadlessSession& operator=(const HeadlessSession&) = delete;

  libkorvet::DEngine& engine() { return netEngine; }
  WorldMap& map() { return canvas; }
  NetSystem& net() { return facade; }

  // Polls the network engine until the next tick is due, resting 1 ms
  // between polls as the game rests between its ticks, and returns then.
  // A step function, if given, makes each poll (to time it, say).
  void waitForTick(const std::function<void(libkorvet::DEngine&)>& step = nullptr);
  // Moves the next tick further away (a pause before retrying, say).
  void delayNextTick(int ms) { nextTick += std::chrono::milliseconds(ms); }

  // The lines of the chat queue since the last call, oldest first.
  std::vector<Line> takeLines();
  // CRC-32 of each segment of this peer's copy of the canvas; empty
  // outside a session. Cheap: the sync map keeps them until bytes change.
  std::vector<unsigned int> segmentCRCs();

 private:
  libkorvet::DEngine netEngine;
  WorldMap canvas;
  NetSystem facade;
  std::chrono::steady_clock::time_point nextTick;
};

#endif  // APP_HEADLESSSESSION_H
