// HostBudget: the token buckets and overruns of a session's host.

#include "HostBudget.h"

#include "DEngine.h"

namespace {

const double LIMITS[HostBudget::NUM_KINDS][2] = {
    {HostBudget::PAINTED_PIXELS_PER_SECOND, HostBudget::PAINTED_PIXELS_BURST},
    {HostBudget::CHAT_LINES_PER_SECOND, HostBudget::CHAT_LINES_BURST},
    {HostBudget::FLUSHED_BYTES_PER_SECOND, HostBudget::FLUSHED_BYTES_BURST},
    {HostBudget::REPAIRED_BYTES_PER_SECOND, HostBudget::REPAIRED_BYTES_BURST},
    {HostBudget::INBOUND_BYTES_PER_SECOND, HostBudget::INBOUND_BYTES_BURST},
    {PeerBudget::LOG_LINES_PER_SECOND, PeerBudget::LOG_LINES_BURST},
};

}  // namespace

HostBudget::HostBudget(libkorvet::DEngine* engine)
    : buckets{{LIMITS[0][0], LIMITS[0][1]}, {LIMITS[1][0], LIMITS[1][1]}, {LIMITS[2][0], LIMITS[2][1]},
              {LIMITS[3][0], LIMITS[3][1]}, {LIMITS[4][0], LIMITS[4][1]}, {LIMITS[5][0], LIMITS[5][1]}},
      overruns(PeerBudget::OVER_BUDGET_GAP_MS, PeerBudget::OVER_BUDGET_CLOSE_MS, PeerBudget::OVER_BUDGET_WINDOW_MS),
      latest(0),
      flushedSeen(0),
      repairedSeen(0),
      condemned(false) {
  origin.useEngine(engine);
  origin.updateTime();
}

unsigned long long HostBudget::now() {
  unsigned long long elapsed = origin.timeElapsed();
  if (elapsed > latest) latest = elapsed;
  return latest;
}

bool HostBudget::inDebt(Kind kind, unsigned long long at) {
  buckets[kind].refill(at);
  return buckets[kind].tokens < 0;
}

void HostBudget::refused(unsigned long long at) {
  if (overruns.refused(at)) condemned = true;
}

void HostBudget::chargePaint(long pixels) {
  buckets[PAINTED_AREA].refill(now());
  buckets[PAINTED_AREA].tokens -= static_cast<double>(pixels);
}

void HostBudget::chargeFlushed(unsigned long long total) {
  buckets[FLUSHED_BYTES].refill(now());
  buckets[FLUSHED_BYTES].tokens -= static_cast<double>(total - flushedSeen);
  flushedSeen = total;
}

bool HostBudget::mayRepair(unsigned long long total) {
  unsigned long long at = now();
  buckets[REPAIRED_BYTES].refill(at);
  buckets[REPAIRED_BYTES].tokens -= static_cast<double>(total - repairedSeen);
  repairedSeen = total;
  return buckets[REPAIRED_BYTES].tokens > 0;
}

void HostBudget::chargeInbound(unsigned int bytes) {
  buckets[INBOUND_BYTES].refill(now());
  buckets[INBOUND_BYTES].tokens -= bytes;
}

bool HostBudget::chargeChatLine() {
  unsigned long long at = now();
  if (buckets[CHAT_LINES].take(1, at)) return true;
  refused(at);
  return false;
}

bool HostBudget::mayChat() {
  unsigned long long at = now();
  buckets[CHAT_LINES].refill(at);
  if (buckets[CHAT_LINES].tokens >= 1) return true;
  refused(at);
  return false;
}

bool HostBudget::mustWait() {
  unsigned long long at = now();
  // Waiting for paint or flushes is the host's overrun, however briefly
  // each wait lasts; bytes read only pace the reading.
  bool costly = inDebt(PAINTED_AREA, at) || inDebt(FLUSHED_BYTES, at);
  if (costly) refused(at);
  return costly || inDebt(INBOUND_BYTES, at);
}

void HostBudget::check() {
  unsigned long long at = now();
  if (inDebt(PAINTED_AREA, at) || inDebt(FLUSHED_BYTES, at)) refused(at);
}

bool HostBudget::admitLine() { return buckets[LOG_LINES].take(1, now()); }
