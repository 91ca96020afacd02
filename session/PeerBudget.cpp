// PeerBudget: token buckets, overruns and deadlines of one client connection.

#include "PeerBudget.h"

#include <algorithm>

#include "DClient.h"
#include "DEngine.h"

using libkorvet::DEngine;

PeerBudget::PeerBudget(DEngine* engine, libkorvet::DClient* peer, unsigned long long canvasBytes)
    : connection(peer),
      latest(0),
      overSince(0),
      lastRefusal(0),
      lastHeard(0),
      refusedArea(0),
      lastUnsent(0),
      joinDeadline(std::max<unsigned long long>(JOIN_DEADLINE_MS, canvasBytes / JOIN_GRACE_BYTES * 1000)),
      overrun(false),
      joined(false) {
  origin.useEngine(engine);
  origin.updateTime();
  const double limits[NUM_KINDS][2] = {
      {DRAW_LINES_PER_SECOND, DRAW_LINES_BURST},       {PAINTED_PIXELS_PER_SECOND, PAINTED_PIXELS_BURST},
      {CHAT_BYTES_PER_SECOND, CHAT_BYTES_BURST},       {SYNC_MESSAGES_PER_SECOND, SYNC_MESSAGES_BURST},
      {SYNC_BYTES_PER_SECOND, SYNC_BYTES_BURST},       {FAULTS_PER_SECOND, FAULTS_BURST},
  };
  for (int k = 0; k < NUM_KINDS; ++k) buckets[k] = Bucket{limits[k][1], limits[k][0], limits[k][1], 0};
}

unsigned long long PeerBudget::now() {
  // Never backwards, even when a test switches its manual clock off.
  unsigned long long elapsed = origin.timeElapsed();
  if (elapsed > latest) latest = elapsed;
  return latest;
}

unsigned int PeerBudget::ageMs() { return static_cast<unsigned int>(now()); }

std::string PeerBudget::kindName(Kind kind) {
  switch (kind) {
    case DRAW_LINES:
    case PAINTED_AREA:
      return "DRAW";
    case CHAT_BYTES:
      return "CHAT";
    case SYNC_MESSAGES:
    case SYNC_BYTES:
      return "sync";
    default:
      return "malformed data";
  }
}

bool PeerBudget::take(Kind kind, double amount, unsigned long long at) {
  Bucket& b = buckets[kind];
  if (at > b.lastMs) {
    b.tokens += b.rate * static_cast<double>(at - b.lastMs) / 1000.0;
    if (b.tokens > b.burst) b.tokens = b.burst;
    b.lastMs = at;
  }
  if (b.tokens < amount) return false;
  b.tokens -= amount;
  return true;
}

void PeerBudget::refused(Kind kind, unsigned long long at) {
  if (!overrun || at - lastRefusal > OVER_BUDGET_GAP_MS) overSince = at;
  overrun = true;
  lastRefusal = at;
  if (verdict.empty() && at - overSince >= OVER_BUDGET_CLOSE_MS)
    verdict = "over its " + kindName(kind) + " budget for " + DEngine::intToStr(OVER_BUDGET_CLOSE_MS / 1000) +
              " seconds";
}

bool PeerBudget::charge(Kind kind, double amount) {
  unsigned long long at = now();
  if (take(kind, amount, at)) return true;
  refused(kind, at);
  return false;
}

bool PeerBudget::drawRoom(double area) {
  unsigned long long at = now();
  // Both refill first: a refusal by either leaves the other untouched.
  take(DRAW_LINES, 0, at);
  take(PAINTED_AREA, 0, at);
  if (buckets[DRAW_LINES].tokens >= 1 && buckets[PAINTED_AREA].tokens >= area) return true;
  refused(buckets[DRAW_LINES].tokens < 1 ? DRAW_LINES : PAINTED_AREA, at);
  return false;
}

bool PeerBudget::chargeLine(long pixels) {
  const double area = static_cast<double>(pixels);
  if (!drawRoom(area)) {
    // A line larger than the burst could never be paid for.
    if (buckets[PAINTED_AREA].tokens < area) refusedArea = std::min(area, buckets[PAINTED_AREA].burst);
    return false;
  }
  buckets[DRAW_LINES].tokens -= 1;
  buckets[PAINTED_AREA].tokens -= area;
  refusedArea = 0;
  return true;
}

bool PeerBudget::mayDraw() { return drawRoom(refusedArea); }

bool PeerBudget::chargeFault() {
  if (take(FAULTS, 1, now())) return true;
  if (verdict.empty()) verdict = "sent too much malformed data";
  return false;
}

void PeerBudget::noteHeard() { lastHeard = now(); }

bool PeerBudget::isCongested() const { return connection->unsentBytes() > CONGESTED_UNSENT_BYTES; }

bool PeerBudget::maySend(unsigned int bytes) const {
  return static_cast<long long>(connection->unsentBytes()) + bytes <= CONGESTED_UNSENT_BYTES;
}

void PeerBudget::check(bool joinedNow, bool streaming) {
  unsigned long long at = now();
  int unsent = connection->unsentBytes();
  if (joinedNow && !joined) {
    joined = true;
    lastHeard = at;
  }
  // Taking a repair counts as a sign of life: queries pause until it is in.
  if (streaming && (unsent == 0 || unsent < lastUnsent)) lastHeard = at;
  lastUnsent = unsent;
  if (!verdict.empty()) return;
  if (unsent > MAX_UNSENT_BYTES) {
    verdict = "not reading (" + DEngine::intToStr(unsent) + " bytes unsent)";
  } else if (!joined && at >= joinDeadline) {
    verdict = "no JOIN within " + DEngine::intToStr(static_cast<int>(joinDeadline / 1000)) + " seconds";
  } else if (joined && at - lastHeard >= SILENCE_LIMIT_MS) {
    verdict = "silent for " + DEngine::intToStr(SILENCE_LIMIT_MS / 1000) + " seconds";
  }
}
