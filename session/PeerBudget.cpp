// PeerBudget: token buckets, overruns and deadlines of one client connection;
// AddressBudget: what the connections from one address share.

#include "PeerBudget.h"

#include <algorithm>

#include "DClient.h"
#include "DEngine.h"

using libkorvet::DEngine;

void TokenBucket::refill(unsigned long long at) {
  if (at <= lastMs) return;
  tokens += rate * static_cast<double>(at - lastMs) / 1000.0;
  if (tokens > burst) tokens = burst;
  lastMs = at;
}

bool TokenBucket::take(double amount, unsigned long long at) {
  refill(at);
  if (tokens < amount) return false;
  tokens -= amount;
  return true;
}

bool OverrunClock::refused(unsigned long long at) {
  if (over && at - last > gap) {
    spans.emplace_back(since, last);
    since = at;
  } else if (!over) {
    since = at;
  }
  over = true;
  last = at;
  unsigned long long windowStart = at > window ? at - window : 0;
  while (!spans.empty() && spans.front().second < windowStart) spans.pop_front();
  unsigned long long total = at - since;
  for (const auto& span : spans) total += span.second - std::max(span.first, windowStart);
  return total >= limit;
}

// ---------------------------------------------------------------------------
// AddressBudget

AddressBudget::AddressBudget(DEngine* engine, const std::string& peer)
    : address(peer), lines(LOG_LINES_PER_SECOND, LOG_LINES_BURST), held(0), lastNotice(0), latest(0), noticed(false) {
  origin.useEngine(engine);
  origin.updateTime();
}

unsigned long long AddressBudget::now() {
  unsigned long long elapsed = origin.timeElapsed();
  if (elapsed > latest) latest = elapsed;
  return latest;
}

bool AddressBudget::admitLine() {
  if (lines.take(1, now())) return true;
  ++held;
  return false;
}

std::string AddressBudget::takeNotice() {
  unsigned long long at = now();
  if (held == 0 || (noticed && at - lastNotice < NOTICE_INTERVAL_MS)) return std::string();
  std::string text = "Held back " + DEngine::intToStr(static_cast<long>(held)) + " status lines about " + address;
  held = 0;
  lastNotice = at;
  noticed = true;
  return text;
}

// ---------------------------------------------------------------------------
// PeerBudget

namespace {

const double LIMITS[PeerBudget::NUM_KINDS][2] = {
    {PeerBudget::DRAW_LINES_PER_SECOND, PeerBudget::DRAW_LINES_BURST},
    {PeerBudget::PAINTED_PIXELS_PER_SECOND, PeerBudget::PAINTED_PIXELS_BURST},
    {PeerBudget::CHAT_LINES_PER_SECOND, PeerBudget::CHAT_LINES_BURST},
    {PeerBudget::CHAT_BYTES_PER_SECOND, PeerBudget::CHAT_BYTES_BURST},
    {PeerBudget::SYNC_MESSAGES_PER_SECOND, PeerBudget::SYNC_MESSAGES_BURST},
    {PeerBudget::SYNC_BYTES_PER_SECOND, PeerBudget::SYNC_BYTES_BURST},
    {PeerBudget::FAULTS_PER_SECOND, PeerBudget::FAULTS_BURST},
    {PeerBudget::INBOUND_BYTES_PER_SECOND, PeerBudget::INBOUND_BYTES_BURST},
    {PeerBudget::LOG_LINES_PER_SECOND, PeerBudget::LOG_LINES_BURST},
    {PeerBudget::EXTENSION_MESSAGES_PER_SECOND, PeerBudget::EXTENSION_MESSAGES_BURST},
};

}  // namespace

PeerBudget::PeerBudget(DEngine* engine, libkorvet::DClient* peer, unsigned long long canvasBytes,
                       std::shared_ptr<AddressBudget> shared)
    : connection(peer),
      address(std::move(shared)),
      buckets{{LIMITS[0][0], LIMITS[0][1]}, {LIMITS[1][0], LIMITS[1][1]}, {LIMITS[2][0], LIMITS[2][1]},
              {LIMITS[3][0], LIMITS[3][1]}, {LIMITS[4][0], LIMITS[4][1]}, {LIMITS[5][0], LIMITS[5][1]},
              {LIMITS[6][0], LIMITS[6][1]}, {LIMITS[7][0], LIMITS[7][1]}, {LIMITS[8][0], LIMITS[8][1]},
              {LIMITS[9][0], LIMITS[9][1]}},
      overruns(OVER_BUDGET_GAP_MS, OVER_BUDGET_CLOSE_MS, OVER_BUDGET_WINDOW_MS),
      overstayAt(0),
      latest(0),
      lastActive(0),
      lastSent(0),
      readWindowStart(0),
      readWindowSent(0),
      refusedArea(0),
      refusedChat(0),
      joinDeadline(std::max<unsigned long long>(JOIN_DEADLINE_MS, canvasBytes / JOIN_GRACE_BYTES * 1000)),
      joined(false) {
  origin.useEngine(engine);
  origin.updateTime();
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
    case CHAT_LINES:
    case CHAT_BYTES:
      return "CHAT";
    case SYNC_MESSAGES:
    case SYNC_BYTES:
      return "sync";
    case EXTENSION_MESSAGES:
      return "extension";
    default:
      return "malformed data";
  }
}

bool PeerBudget::take(Kind kind, double amount, unsigned long long at) { return buckets[kind].take(amount, at); }

void PeerBudget::refused(Kind kind, unsigned long long at) {
  if (overruns.refused(at) && verdict.empty())
    verdict = "over its " + kindName(kind) + " budget for " + DEngine::intToStr(OVER_BUDGET_CLOSE_MS / 1000) +
              " seconds";
}

bool PeerBudget::charge(Kind kind, double amount) {
  unsigned long long at = now();
  if (take(kind, amount, at)) return true;
  refused(kind, at);
  return false;
}

bool PeerBudget::room(Kind count, Kind size, double amount) {
  unsigned long long at = now();
  // Both refill first: a refusal by either leaves the other untouched.
  buckets[count].refill(at);
  buckets[size].refill(at);
  if (buckets[count].tokens >= 1 && buckets[size].tokens >= amount) return true;
  refused(buckets[count].tokens < 1 ? count : size, at);
  return false;
}

bool PeerBudget::chargePair(Kind count, Kind size, double amount, double& refusedSize) {
  if (!room(count, size, amount)) {
    // An item larger than the burst could never be paid for.
    if (buckets[size].tokens < amount) refusedSize = std::min(amount, buckets[size].burst);
    return false;
  }
  buckets[count].tokens -= 1;
  buckets[size].tokens -= amount;
  refusedSize = 0;
  return true;
}

bool PeerBudget::chargeLine(long pixels) {
  return chargePair(DRAW_LINES, PAINTED_AREA, static_cast<double>(pixels), refusedArea);
}

bool PeerBudget::chargeChatLine(unsigned int bytes) {
  return chargePair(CHAT_LINES, CHAT_BYTES, static_cast<double>(bytes), refusedChat);
}

bool PeerBudget::mayDraw() { return room(DRAW_LINES, PAINTED_AREA, refusedArea); }

bool PeerBudget::mayChat() { return room(CHAT_LINES, CHAT_BYTES, refusedChat); }

bool PeerBudget::chargeFault() {
  if (take(FAULTS, 1, now())) return true;
  if (verdict.empty()) verdict = "sent too much malformed data";
  return false;
}

bool PeerBudget::chargeInbound(unsigned int bytes) {
  TokenBucket& b = buckets[INBOUND_BYTES];
  b.refill(now());
  // What was read is spent already: the bucket goes into debt, and reading
  // waits until it is paid off.
  b.tokens -= bytes;
  return b.tokens >= 0;
}

bool PeerBudget::mayRead() {
  buckets[INBOUND_BYTES].refill(now());
  return buckets[INBOUND_BYTES].tokens >= 0;
}

void PeerBudget::noteQuery() { lastActive = now(); }

bool PeerBudget::admitLine() {
  bool mine = take(LOG_LINES, 1, now());
  // The address pays only for lines its connection may still make.
  return mine && (!address || address->admitLine());
}

bool PeerBudget::isCongested() const { return connection->unsentBytes() > CONGESTED_UNSENT_BYTES; }

bool PeerBudget::maySend(unsigned int bytes) const {
  return static_cast<long long>(connection->unsentBytes()) + bytes <= CONGESTED_UNSENT_BYTES;
}

unsigned long long PeerBudget::overstayedMs() {
  unsigned long long at = now();
  return overstay.empty() ? 0 : at - overstayAt;
}

bool PeerBudget::pastJoinDeadline() { return !joined && now() >= joinDeadline; }

void PeerBudget::check(bool joinedNow, bool streaming) {
  unsigned long long at = now();
  int unsent = connection->unsentBytes();
  unsigned long long sent = connection->sentBytes();
  if (joinedNow && !joined) {
    joined = true;
    lastActive = at;
  }
  // Taking a repair is taking part: queries pause until it is in.
  if (streaming && (unsent == 0 || sent > lastSent)) lastActive = at;
  lastSent = sent;
  // Reading is judged over a window that starts whenever the peer caught up.
  if (unsent == 0) {
    readWindowStart = at;
    readWindowSent = sent;
  }
  auto notReading = [unsent] { return "not reading (" + DEngine::intToStr(unsent) + " bytes unsent)"; };
  // What is queued costs memory: past the bound the peer goes at once.
  if (unsent > MAX_UNSENT_BYTES && verdict.empty()) verdict = notReading();
  if (verdict.empty() && overstay.empty()) {
    if (at - readWindowStart >= SLOW_READER_WINDOW_MS && sent - readWindowSent < SLOW_READER_BYTES)
      overstay = notReading();
    else if (!joined && at >= joinDeadline)
      overstay = "no JOIN within " + DEngine::intToStr(static_cast<int>(joinDeadline / 1000)) + " seconds";
    else if (joined && at - lastActive >= IDLE_LIMIT_MS)
      overstay = "idle";
    if (!overstay.empty()) overstayAt = at;
  }
  if (at - readWindowStart >= SLOW_READER_WINDOW_MS) {
    readWindowStart = at;
    readWindowSent = sent;
  }
}
