// Autosave: the schedule, the change check and the file of a host's own saves.

#include "Autosave.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "WorldMap.h"

Autosave::Autosave(libkorvet::DEngine* engine, const std::string& f)
    : folder(f), saver(f), savedCount(0), pendingCount(0), interval(0), running(false), inFlight(false) {
  lastSave.useEngine(engine);
  saver.setQuiet(true);
}

std::string Autosave::fileBase(const std::string& sessionName) {
  std::string name;
  for (char c : sessionName) {
    if (name.size() == MAX_NAME) break;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_';
    name.push_back(plain ? c : '_');
  }
  return "autosave-" + name;
}

void Autosave::begin(const std::string& sessionName, int seconds, const WorldMap& map) {
  const std::string base = fileBase(sessionName);
  saver.keepAs(base);
  removeLeftovers(base);
  interval = seconds > 0 ? seconds : 0;
  savedCount = map.changeCount();
  running = true;
  lastSave.updateTime();
}

void Autosave::tick(const WorldMap& map) {
  collect();
  if (!running || interval == 0 || lastSave.timeElapsed() < static_cast<unsigned int>(interval) * 1000u) return;
  lastSave.updateTime();
  save(map);
}

void Autosave::end(const WorldMap& map) {
  collect();
  if (!running) return;
  // A save still being written holds an older canvas: wait for it, so the
  // file ends up with this one.
  saver.wait();
  collect();
  save(map);
  running = false;
}

void Autosave::finish(const WorldMap& map) {
  const bool was = running;
  end(map);
  saver.wait();
  collect();
  // Without a child process the last save may have failed: once more, here.
  if (was && map.changeCount() != savedCount) {
    saver.saveNow(WorldMap::getMapBuffer());
    if (saver.lastOutcome().ok) savedCount = map.changeCount();
  }
}

void Autosave::collect() {
  saver.poll();
  if (!inFlight || saver.busy()) return;
  inFlight = false;
  if (saver.lastOutcome().ok) savedCount = pendingCount;
}

void Autosave::save(const WorldMap& map) {
  // The one before is still being written: the next interval comes soon.
  if (saver.busy() || WorldMap::getMapBuffer() == nullptr) return;
  const unsigned long long now = map.changeCount();
  if (now == savedCount) return;
  pendingCount = now;
  inFlight = saver.start(WorldMap::getMapBuffer());
  collect();
}

void Autosave::removeLeftovers(const std::string& base) {
  const std::string prefix = "." + base + ".png.part-";
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const long writer = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (writer > 0 && kill(static_cast<pid_t>(writer), 0) != 0 && errno == ESRCH)
      unlink((folder + "/" + name).c_str());
  }
  closedir(dir);
}
