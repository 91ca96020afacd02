#ifndef APP_AUTOSAVE_H
#define APP_AUTOSAVE_H

// Autosave: a hosting program saves its picture by itself, every so many
// seconds and when the session ends, whenever the canvas changed since the
// last save, as <folder>/autosave-<session name>.png, replaced each time
// through the atomic write of every save (PictureSaver): a host killed at
// any moment leaves the last whole picture. The picture is written by a
// child process, so the loop does not wait for it. Successes are only
// logged on standard output; failures are status lines. The game engine and
// the headless host own one each and call tick() once per loop tick; the
// clock is the network engine's. Main thread only.

#include <string>

#include "DTime.h"
#include "PictureSaver.h"

namespace libkorvet {
class DEngine;
}  // namespace libkorvet

class WorldMap;

class Autosave {
 public:
  Autosave(libkorvet::DEngine* engine, const std::string& folder);

  // A hosted session on map starts; what the canvas holds now counts as
  // saved. seconds 0 saves only at end().
  void begin(const std::string& sessionName, int seconds, const WorldMap& map);
  // Saves when the interval is up and the canvas changed; reports a save
  // that ended.
  void tick(const WorldMap& map);
  // The session ends: what changed is saved in the background, and nothing more.
  void end(const WorldMap& map);
  // As end(), written before this returns (the program is about to exit).
  void finish(const WorldMap& map);
  bool isRunning() const { return running; }
  // A picture is being written.
  bool isWriting() const { return saver.busy(); }
  // The outcome of the last save that ended.
  const PictureSaver::Outcome& lastOutcome() const { return saver.lastOutcome(); }

  // "autosave-<name>", with every character of the name other than
  // letters, digits, '-' and '_' written as '_' (at most MAX_NAME of them).
  static std::string fileBase(const std::string& sessionName);
  static constexpr std::size_t MAX_NAME = 64;

 private:
  // Notes a save that ended: its canvas then counts as saved.
  void collect();
  void save(const WorldMap& map);
  // Part files of this autosave whose writer no longer runs (a host killed
  // while saving) are removed.
  void removeLeftovers(const std::string& base);

  std::string folder;
  PictureSaver saver;
  libkorvet::DTime lastSave;
  unsigned long long savedCount;
  unsigned long long pendingCount;
  int interval;
  bool running;
  bool inFlight;
};

#endif  // APP_AUTOSAVE_H
