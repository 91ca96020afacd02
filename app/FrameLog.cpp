#include "FrameLog.h"

#include <time.h>

#include <cstdlib>
#include <iostream>

namespace {

double msBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

}  // namespace

FrameLog::FrameLog() : out(nullptr), cpuBegun(0), frameTicks(0), drawnBefore(false) {
  const char* path = std::getenv("BRELVIN_FRAME_LOG");
  if (path == nullptr || *path == '\0') return;
  out = std::fopen(path, "w");
  if (out == nullptr) {
    std::cout << "Couldn't open the frame log " << path << std::endl;
    return;
  }
  // A line at a time, so a reader sees every frame as it is drawn.
  std::setvbuf(out, nullptr, _IOLBF, 0);
  opened = Clock::now();
}

FrameLog::~FrameLog() {
  if (out != nullptr) std::fclose(out);
}

void FrameLog::ticksBegin() {
  if (out == nullptr) return;
  begun = Clock::now();
  cpuBegun = threadCpuMs();
}

void FrameLog::ticksEnd(int ticks) {
  if (out == nullptr) return;
  ticked = Clock::now();
  frameTicks = ticks;
}

void FrameLog::drawn(const std::string& scale) {
  if (out == nullptr) return;
  const Clock::time_point now = Clock::now();
  const double gap = drawnBefore ? msBetween(lastDrawn, now) : 0.0;
  std::fprintf(out, "frame %.1f %s %d %.2f %.2f %.2f %.2f\n", msBetween(opened, now), scale.c_str(), frameTicks,
               msBetween(begun, ticked), msBetween(ticked, now), gap, threadCpuMs() - cpuBegun);
  lastDrawn = now;
  drawnBefore = true;
}
