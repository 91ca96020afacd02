// Autosave benchmark: a hosted canvas covered with random strokes is saved
// by the host's autosave, as the program does it, at each size (1600 x 1600
// and 10000 x 10000 by default). Printed: the time from the tick that starts
// the save until the picture has its name, and what the host's loop sees of
// it meanwhile: the longest autosave tick (the writer's fork), the longest
// network-engine step, and the longest gap between two ticks (one is due
// every 33 ms).
//
//   autosave_bench [--sizes N,N,...] [--folder DIR]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "AllegWorker.h"
#include "Autosave.h"
#include "DEngine.h"
#include "HeadlessSession.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "WorldMap.h"
#include "../tools/RandomStrokes.h"

namespace {

typedef std::chrono::steady_clock Clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

void run(int size, const std::string& folder) {
  HeadlessSession session;
  NetSystem& net = session.net();
  net.setSessionPort(0);
  if (!net.hostNewGame(static_cast<unsigned int>(size), static_cast<unsigned int>(size), &session.map())) {
    std::printf("%d x %d: couldn't host: %s\n", size, size, net.getErrMsg().c_str());
    return;
  }
  Autosave autosave(&session.engine(), folder);
  autosave.begin("bench", 1, session.map());
  const Clock::time_point painting = Clock::now();
  paintRandomStrokes(session.map(), static_cast<int>(static_cast<long>(size) * size / 1000), 1);
  std::printf("%5d x %-5d painted %ld strokes in %.1f s\n", size, size, static_cast<long>(size) * size / 1000,
              msSince(painting) / 1000);

  double longestTick = 0, longestStep = 0, longestGap = 0, toFile = 0;
  Clock::time_point started, lastTick = Clock::now();
  bool writing = false, done = false;
  while (!done) {
    session.waitForTick([&](libkorvet::DEngine& engine) {
      const Clock::time_point t = Clock::now();
      engine.update(100);
      if (writing) longestStep = std::max(longestStep, msSince(t));
    });
    const Clock::time_point tick = Clock::now();
    if (writing) longestGap = std::max(longestGap, std::chrono::duration<double, std::milli>(tick - lastTick).count());
    lastTick = tick;
    autosave.tick(session.map());
    const double spent = msSince(tick);
    if (!writing && autosave.isWriting()) {
      writing = true;
      started = tick;
      longestTick = spent;
    } else if (writing) {
      longestTick = std::max(longestTick, spent);
      if (!autosave.isWriting()) {
        toFile = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        done = true;
      }
    }
  }
  std::printf("%5d x %-5d %s: on the disk %.2f s after its tick; longest autosave tick %.1f ms, longest engine "
              "step %.1f ms, longest gap between ticks %.1f ms\n",
              size, size, autosave.lastOutcome().ok ? "saved" : "FAILED", toFile / 1000, longestTick, longestStep,
              longestGap);
  autosave.end(session.map());
  net.resetVariables();
  session.map().reset();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {1600, 10000};
  std::string folder = "/tmp/brelvin-autosave-bench";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--sizes") {
      sizes.clear();
      std::stringstream in(argv[i + 1]);
      std::string part;
      while (std::getline(in, part, ',')) sizes.push_back(std::atoi(part.c_str()));
    } else if (a == "--folder") {
      folder = argv[i + 1];
    }
  }
  AllegWorker::initHeadless();
  KivSettings::setFlushFrequency("15");
  KivSettings::setSyncBandwidth(KivSettings::LAN_SYNC_BANDWIDTH);
  // The session's own lines would bury the figures.
  std::fflush(stdout);
  for (int size : sizes) run(size, folder);
  return 0;
}
