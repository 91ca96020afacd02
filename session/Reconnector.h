#ifndef SESSION_RECONNECTOR_H
#define SESSION_RECONNECTOR_H

// Reconnector: what a joined client does once it has lost its host. The
// canvas moves onto a sync map of its own, so it stays on screen and can be
// painted on; the strokes painted meanwhile are kept (the newest
// MAX_KEPT_STROKES) for the host; and the client tries again after 1, 2, 4
// and 8 seconds, then every 10 seconds, until GIVE_UP_MS after the loss.
// Once joined again the kept strokes go to the drawing protocol a few a
// tick, within what the host accepts from a client. Which ends are retried
// is decided in retries() alone. The network facade owns one and drives it
// from its health check; its clock is the network engine's. Main thread.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "DTime.h"
#include "DrawingData.h"

namespace libkorvet {
class DEngine;
}  // namespace libkorvet

class DrawingProtocol;
class KivClient;
class WorldMap;

class Reconnector {
 public:
  static const unsigned int GIVE_UP_MS = 5 * 60 * 1000;
  // An attempt that has no greeting this long after it started is given up
  // for the next (a connect to a machine that is off can hang for minutes).
  static const unsigned int ATTEMPT_LIMIT_MS = 30000;
  // Five minutes of painting a segment every tick, and a little more.
  static const std::size_t MAX_KEPT_STROKES = 10000;
  // Kept strokes handed on per tick (REPLAY_TICK_MS) after a rejoin: with a
  // person's own stroke every tick that is 150 lines a second, half of the
  // DRAW budget the host gives a client.
  static const unsigned int REPLAY_PER_TICK = 4;
  static const unsigned int REPLAY_TICK_MS = 33;

  explicit Reconnector(libkorvet::DEngine* engine);
  ~Reconnector();
  Reconnector(const Reconnector&) = delete;
  Reconnector& operator=(const Reconnector&) = delete;

  // The one decision whether a client's end is tried again: its connection
  // broke, fell silent or could not be made. Ends by the host's or our own
  // verdict (a refused greeting or join, a host past its budget, a removal)
  // are final.
  static bool retries(const KivClient& client);

  // The client at address, joined until now, lost its host for why: the
  // canvas on map moves onto the kept map, and the first attempt is due in
  // a second. Requires: map is created on the lost client's sync map.
  void start(const std::string& address, WorldMap* map, const std::string& why);
  // Moves the canvas on map (if any) onto a kept map of its own, off the
  // sync map of a client about to go.
  void park(WorldMap* map);
  // Reconnecting, until joined again or given up.
  bool isActive() const { return active; }
  // Whether the next attempt is due now; then it counts as started.
  bool attemptDue();
  // Whether the attempt that started has had its time without a greeting.
  bool attemptOverdue();
  // The attempt ended without joining, for why: the next is scheduled.
  void attemptFailed(const std::string& why);
  // Past GIVE_UP_MS since the loss.
  bool expired();
  // The text for the user once expired.
  std::string giveUpText() const;
  // Joined again: "Reconnected to ADDRESS", and the kept strokes start
  // going out (none if the host's canvas was a new one).
  void joined(bool sameCanvas);
  // Stops, forgetting the kept canvas and strokes.
  void reset();

  // "Reconnecting to ADDRESS... (attempt N)" while active, else empty.
  std::string statusText() const;
  int attemptNumber() const { return attempt; }

  // A stroke painted while away, with its brush and colour.
  void keepStroke(const DrawingData& line);
  std::size_t keptStrokes() const { return kept.size(); }
  // After the rejoin: moves a few kept strokes into the protocol's queue,
  // at most REPLAY_PER_TICK each REPLAY_TICK_MS however often it is called.
  void replay(DrawingProtocol* drawing);

 private:
  class KeptCanvas;

  std::unique_ptr<KeptCanvas> canvas;
  std::deque<DrawingData> kept;
  std::size_t dropped;
  libkorvet::DTime lostAt;
  // When the next attempt is due, or when the current one started.
  libkorvet::DTime waitFrom;
  libkorvet::DTime lastReplay;
  std::string address;
  std::string lastReason;
  unsigned int waitMs;
  int attempt;
  bool active;
  bool attempting;
};

#endif  // SESSION_RECONNECTOR_H
