// Reconnector: the kept canvas and strokes, and the schedule of attempts.

#include "Reconnector.h"

#include "DrawingProtocol.h"
#include "KivClient.h"
#include "KivSettings.h"
#include "SessionWire.h"
#include "SyncDataMap.h"
#include "SyncEngine.h"
#include "SyncSettings.h"
#include "WorldMap.h"

namespace {

const char* const OWNER = "NetSystem";
const unsigned int FIRST_WAIT_MS = 1000;
const unsigned int STEADY_WAIT_MS = 10000;
// Waits double from the first until this attempt, then stay steady.
const int DOUBLING_ATTEMPTS = 4;

}  // namespace

// The canvas's bytes while no host holds them: a client-side map that lays
// them out as the session does, so the canvas moves on and back unchanged.
class Reconnector::KeptCanvas : public libksync::SyncEngine {
 public:
  KeptCanvas() : settings([](std::string) {}), map(&settings), next(0) {
    settings.setSegmentSize(static_cast<unsigned short>(WorldMap::KIV_SEGMENT_SIZE), sessionwire::SPECK_SIZE);
  }
  unsigned int getSyncIndex(unsigned short size) override {
    const unsigned int old = next;
    const unsigned int index = settings.calcSyncIndex(size, next);
    map.addData(next - old);
    return index;
  }
  unsigned int getSyncBytes(unsigned int count) override {
    const unsigned int first = next;
    map.addData(count);
    next += count;
    return first;
  }
  libksync::SyncDataMap* retrieveDataMap() override { return &map; }

 private:
  libksync::SyncSettings settings;
  libksync::SyncDataMap map;
  unsigned int next;
};

const unsigned int Reconnector::GIVE_UP_MS;
const unsigned int Reconnector::ATTEMPT_LIMIT_MS;
const std::size_t Reconnector::MAX_KEPT_STROKES;
const unsigned int Reconnector::REPLAY_PER_TICK;
const unsigned int Reconnector::REPLAY_TICK_MS;

Reconnector::Reconnector(libkorvet::DEngine* e)
    : dropped(0), waitMs(FIRST_WAIT_MS), attempt(0), active(false), attempting(false) {
  lostAt.useEngine(e);
  waitFrom.useEngine(e);
  lastReplay.useEngine(e);
}

Reconnector::~Reconnector() {}

bool Reconnector::retries(const KivClient& client) { return client.lostConnection(); }

void Reconnector::start(const std::string& host, WorldMap* map, const std::string& why) {
  reset();
  address = host;
  lastReason = why;
  park(map);
  active = true;
  attempt = 1;
  waitMs = FIRST_WAIT_MS;
  lostAt.updateTime();
  waitFrom.updateTime();
  KivSettings::logLine("Lost the host at " + address + " (" + why + "); reconnecting");
  // Why the notice of the attempts shows, in the words of the reason.
  if (!why.empty()) KivSettings::addChatMessage(OWNER, why, sessionwire::STATUS_COLOR);
}

void Reconnector::park(WorldMap* map) {
  if (!map || !map->isCreated()) return;
  // A fresh map each time: the canvas may be on the kept one already.
  std::unique_ptr<KeptCanvas> fresh(new KeptCanvas());
  map->moveTo(fresh.get());
  canvas.swap(fresh);
}

bool Reconnector::attemptDue() {
  if (!active || attempting || waitFrom.timeElapsed() < waitMs) return false;
  attempting = true;
  waitFrom.updateTime();
  KivSettings::logLine(statusText());
  return true;
}

bool Reconnector::attemptOverdue() { return active && attempting && waitFrom.timeElapsed() >= ATTEMPT_LIMIT_MS; }

void Reconnector::attemptFailed(const std::string& why) {
  if (!why.empty()) lastReason = why;
  attempting = false;
  ++attempt;
  waitMs = attempt <= DOUBLING_ATTEMPTS ? FIRST_WAIT_MS << (attempt - 1) : STEADY_WAIT_MS;
  waitFrom.updateTime();
}

bool Reconnector::expired() { return active && lostAt.timeElapsed() >= GIVE_UP_MS; }

std::string Reconnector::giveUpText() const {
  return "Couldn't reconnect to " + address + " in " + std::to_string(GIVE_UP_MS / 60000) +
         " minutes: " + lastReason;
}

void Reconnector::joined(bool sameCanvas) {
  KivSettings::addChatMessage(OWNER, "Reconnected to " + address, sessionwire::STATUS_COLOR);
  if (!sameCanvas) {
    kept.clear();
    dropped = 0;
  }
  if (dropped > 0)
    KivSettings::addChatMessage(OWNER,
                                "Dropped the oldest " + std::to_string(dropped) + " of the strokes painted while away",
                                sessionwire::STATUS_COLOR);
  dropped = 0;
  active = false;
  attempting = false;
  // The canvas lives on the new connection's map now.
  canvas.reset();
}

void Reconnector::reset() {
  active = false;
  attempting = false;
  kept.clear();
  dropped = 0;
  attempt = 0;
  canvas.reset();
}

std::string Reconnector::statusText() const {
  if (!active) return "";
  return "Reconnecting to " + address + "... (attempt " + std::to_string(attempt) + ")";
}

void Reconnector::keepStroke(const DrawingData& line) {
  kept.push_back(line);
  if (kept.size() > MAX_KEPT_STROKES) {
    kept.pop_front();
    ++dropped;
  }
}

void Reconnector::replay(DrawingProtocol* drawing) {
  // The game's ticks come 33 or 34 ms apart by the millisecond clock.
  if (active || kept.empty() || lastReplay.timeElapsed() + 3 < REPLAY_TICK_MS) return;
  lastReplay.updateTime();
  for (unsigned int n = 0; n < REPLAY_PER_TICK && !kept.empty() &&
                           drawing->getNumPending() < DrawingProtocol::MAX_PENDING_LINES;
       ++n) {
    drawing->addLine(kept.front());
    kept.pop_front();
  }
}
