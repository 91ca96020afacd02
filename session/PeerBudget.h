#ifndef SESSION_PEERBUDGET_H
#define SESSION_PEERBUDGET_H

// PeerBudget: what one client connection may cost the host, and when it must
// go. Every handler of the connection charges it: framing faults and
// malformed bodies, DRAW lines and the area they paint, CHAT lines and their
// inflated bytes, sync messages, the bytes read, the status lines it makes.
// Each inbound kind is a token bucket (a rate and a burst); a charge that
// does not fit is refused and the caller drops what it was for. Refusals
// that add up to OVER_BUDGET_CLOSE_MS within OVER_BUDGET_WINDOW_MS, or faults
// past their bucket, condemn the peer. Bytes read past their bucket only
// pause reading. Outbound, DRAW and CHAT wait while the connection is
// congested; a peer that leaves bytes waiting and takes too few of them for
// SLOW_READER_WINDOW_MS is condemned. Admission: a JOIN within the JOIN
// deadline of the greeting, then taking part: a CRC query, or taking a
// repair while one streams, at least every IDLE_LIMIT_MS. A peer past one
// of these time rules has overstayed: it costs nothing more than its place,
// so a full host keeps it until a newcomer needs the place (KivServer).
// Owned by the host's ServerConnection; time is the engine's clock.
// AddressBudget is what all connections from one address share.
//
// The limits start from the most a real client sends: one stroke segment per
// game tick (30 a second, at most 30 in one DRAW), each painting at most
// lineCost(brush 3) = 3430 pixels, so about 100,000 pixels a second; a CHAT
// every 15 ticks with what a person typed (a line of up to 255 bytes at a
// time, about 1 KB a second at most); a 63-byte CRC query every 500 ms,
// plus the JOIN. Rates are four to sixteen times that; bursts hold what a
// network stall of several seconds can bunch up.
//
// Sync is sized for the fastest client instead, whatever the host's own
// pacing (a client's pace is its own setting, and the host cannot tell): a
// link-paced client runs its first pass cycle after cycle with queries of up
// to LARGEST_QUERY bytes. A pass over the largest canvas takes under a
// hundred cycles, which may come within a second; afterwards two a second.

#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "DTime.h"
#include "KivSettings.h"
#include "SyncMessages.h"
#include "SyncSettings.h"

namespace libkorvet {
class DClient;
class DEngine;
}  // namespace libkorvet

// A token bucket on a millisecond clock the caller keeps.
struct TokenBucket {
  TokenBucket(double rate, double burst) : tokens(burst), rate(rate), burst(burst), lastMs(0) {}
  void refill(unsigned long long at);
  // Takes amount if it fits.
  bool take(double amount, unsigned long long at);

  double tokens;
  double rate;
  double burst;
  unsigned long long lastMs;
};

// Refusals closer together than `gap` are one overrun, lasting from its
// first refusal to its last; overruns that add up to `limit` within the
// window condemn, however the peer pauses between them. Time is a
// millisecond clock the caller keeps, never going back.
class OverrunClock {
 public:
  OverrunClock(unsigned int gapMs, unsigned int limitMs, unsigned int windowMs)
      : gap(gapMs), limit(limitMs), window(windowMs), since(0), last(0), over(false) {}
  // A refusal at `at`: true once the overruns add up to the limit.
  bool refused(unsigned long long at);

 private:
  // Earlier overruns within the window, as (first, last refusal).
  std::deque<std::pair<unsigned long long, unsigned long long>> spans;
  unsigned int gap;
  unsigned int limit;
  unsigned int window;
  unsigned long long since;
  unsigned long long last;
  bool over;
};

// Shared by every connection from one address, so a peer that reconnects
// does not start afresh: the status lines its connections may make, and
// those held back since the last notice.
class AddressBudget {
 public:
  static constexpr double LOG_LINES_PER_SECOND = 0.5;
  static constexpr double LOG_LINES_BURST = 40;
  // How often the count of held-back lines is posted.
  static constexpr unsigned int NOTICE_INTERVAL_MS = 60000;

  AddressBudget(libkorvet::DEngine* engine, const std::string& address);
  bool admitLine();
  // The notice of lines held back, when one is due (empty otherwise).
  std::string takeNotice();
  const std::string& getAddress() const { return address; }

 private:
  unsigned long long now();

  libkorvet::DTime origin;
  std::string address;
  TokenBucket lines;
  unsigned long long held;
  unsigned long long lastNotice;
  unsigned long long latest;
  bool noticed;
};

class PeerBudget : public KivSettings::LineGate {
 public:
  enum Kind {
    DRAW_LINES,
    PAINTED_AREA,
    CHAT_LINES,
    CHAT_BYTES,
    SYNC_MESSAGES,
    SYNC_BYTES,
    FAULTS,
    INBOUND_BYTES,
    LOG_LINES,
    EXTENSION_MESSAGES,
    NUM_KINDS
  };

  // Inbound rates (per second) and bursts.
  static constexpr double DRAW_LINES_PER_SECOND = 300;
  static constexpr double DRAW_LINES_BURST = 900;
  // About 30 ms of painting a second at the host's 55 ns a pixel.
  static constexpr double PAINTED_PIXELS_PER_SECOND = 600000;
  static constexpr double PAINTED_PIXELS_BURST = 1200000;
  // Charged by what a line holds once inflated (its two lengths, name and
  // text), each line also by itself: relaying and showing it costs the same
  // however well it compressed.
  static constexpr double CHAT_LINES_PER_SECOND = 8;
  static constexpr double CHAT_LINES_BURST = 64;
  static constexpr double CHAT_BYTES_PER_SECOND = 4096;
  static constexpr double CHAT_BYTES_BURST = 16384;
  static constexpr double LARGEST_QUERY =
      libksync::SyncMessages::CRC_QUERY_HEADER +
      libksync::SyncMessages::CRC_SIZE * double(libksync::SyncSettings::MAX_LINK_QUERY_CRCS);
  static constexpr double SYNC_MESSAGES_PER_SECOND = 100;
  static constexpr double SYNC_MESSAGES_BURST = 400;
  static constexpr double SYNC_BYTES_PER_SECOND = SYNC_MESSAGES_PER_SECOND * LARGEST_QUERY;
  static constexpr double SYNC_BYTES_BURST = SYNC_MESSAGES_BURST * LARGEST_QUERY;
  // A real client sends no malformed data at all; a few are forgiven.
  static constexpr double FAULTS_PER_SECOND = 1;
  static constexpr double FAULTS_BURST = 10;
  // Everything read from the peer, before it is parsed: above all the rates
  // above together, so only a flood of what they refuse reaches it.
  static constexpr double INBOUND_BYTES_PER_SECOND = 256 * 1024;
  static constexpr double INBOUND_BYTES_BURST = 1024 * 1024;
  // Status lines about this connection (framing faults, malformed bodies);
  // the address's bucket (AddressBudget) bounds them across reconnections.
  static constexpr double LOG_LINES_PER_SECOND = 0.2;
  static constexpr double LOG_LINES_BURST = 20;
  // Messages of the extensions Brelvin peers speak (announcement, password
  // proof, and what follows): a real client sends a handful a session.
  static constexpr double EXTENSION_MESSAGES_PER_SECOND = 4;
  static constexpr double EXTENSION_MESSAGES_BURST = 32;
  // Refusals closer together than the gap are one overrun, lasting from its
  // first refusal to its last; overruns that add up to OVER_BUDGET_CLOSE_MS
  // within the window condemn the peer, however it pauses between them.
  static constexpr unsigned int OVER_BUDGET_GAP_MS = 1000;
  static constexpr unsigned int OVER_BUDGET_CLOSE_MS = 5000;
  static constexpr unsigned int OVER_BUDGET_WINDOW_MS = 30000;

  // Outbound: what may wait unsent on the connection.
  static constexpr int CONGESTED_UNSENT_BYTES = 256 * 1024;
  static constexpr int MAX_UNSENT_BYTES = 4 * 1024 * 1024;
  // A peer with bytes waiting for it that takes fewer than this in a window
  // (and never catches up meanwhile) is not reading: 4 KB a second.
  static constexpr unsigned int SLOW_READER_WINDOW_MS = 60000;
  static constexpr unsigned long long SLOW_READER_BYTES = 256 * 1024;

  // Admission. A client builds its copy of the canvas before it sends JOIN,
  // which takes seconds of CPU for the largest canvases, many more on a busy
  // machine: the deadline is a second for every JOIN_GRACE_BYTES of canvas,
  // at least JOIN_DEADLINE_MS. Joined, a real client queries every 500 ms
  // except while it takes a repair.
  static constexpr unsigned int JOIN_DEADLINE_MS = 15000;
  static constexpr unsigned long long JOIN_GRACE_BYTES = 2000000;
  static constexpr unsigned int IDLE_LIMIT_MS = 60000;
  // When the host is full, an address holds at most this many places while
  // a newcomer from elsewhere waits (KivServer).
  static constexpr unsigned int MAX_CONNECTIONS_PER_ADDRESS = 2;

  // Requires: connection outlives this object. Made when the greeting goes
  // out: the JOIN deadline for a canvas of canvasBytes counts from here.
  // The address's budget, if given, is shared with its other connections.
  PeerBudget(libkorvet::DEngine* engine, libkorvet::DClient* connection, unsigned long long canvasBytes = 0,
             std::shared_ptr<AddressBudget> address = nullptr);

  // Inbound: true when amount fits; false means drop what it was for.
  bool charge(Kind kind, double amount);
  // A received DRAW line and the pixels it paints, both or neither.
  bool chargeLine(long pixels);
  // A received CHAT line of `bytes` inflated bytes, as one line and its bytes.
  bool chargeChatLine(unsigned int bytes);
  // Whether a DRAW (or CHAT) may be decoded: false (a refusal) while no line
  // fits or the bucket has not yet grown back to the line last refused for
  // it, so a flood past its budget costs no decompression.
  bool mayDraw();
  bool mayChat();
  // A frame or body that was malformed; false once the peer is condemned.
  bool chargeFault();
  // Bytes read from the socket; false while reading must pause (the bucket
  // is in debt), mayRead() tells when it may go on.
  bool chargeInbound(unsigned int bytes);
  bool mayRead();
  // The peer sent a CRC query: it takes part in the session.
  void noteQuery();
  // A status line about this peer (KivSettings::LineGate); refused past the
  // connection's or the address's bucket.
  bool admitLine() override;

  // Outbound: whether `bytes` more of DRAW or CHAT may be queued now.
  bool maySend(unsigned int bytes) const;
  bool isCongested() const;

  // The time and outbound rules, checked on the session tick; joined tells
  // whether the sync JOIN was accepted, streaming whether the host is
  // sending the peer a repair (the peer rightly sends no query meanwhile, as
  // long as it takes what is sent).
  void check(bool joined, bool streaming);
  // The JOIN deadline passed without a JOIN.
  bool pastJoinDeadline();

  // Why the peer must go, empty while it may stay.
  const std::string& getVerdict() const { return verdict.empty() ? overstay : verdict; }
  // Whether the verdict is only of a time rule (no JOIN, idle, reading too
  // little): the peer may keep its place while no one else wants it.
  bool hasOnlyOverstayed() const { return verdict.empty() && !overstay.empty(); }
  // How long ago the peer overstayed (0 if it has not).
  unsigned long long overstayedMs();
  // "DRAW", "CHAT", "sync" or "malformed data", for status lines.
  static std::string kindName(Kind kind);
  unsigned int ageMs();

  static int getNumInstances() { return -1; }

 private:
  unsigned long long now();
  bool take(Kind kind, double amount, unsigned long long at);
  // Whether one item of `amount` fits both buckets now, without taking it;
  // a refusal (of the bucket that lacks) if not.
  bool room(Kind count, Kind size, double amount);
  bool chargePair(Kind count, Kind size, double amount, double& refusedSize);
  void refused(Kind kind, unsigned long long at);

  libkorvet::DTime origin;
  libkorvet::DClient* connection;
  std::shared_ptr<AddressBudget> address;
  TokenBucket buckets[NUM_KINDS];
  OverrunClock overruns;
  std::string verdict;
  // The first time rule the peer broke; it stands even if the peer mends.
  std::string overstay;
  unsigned long long overstayAt;
  unsigned long long latest;
  unsigned long long lastActive;
  unsigned long long lastSent;
  unsigned long long readWindowStart;
  unsigned long long readWindowSent;
  double refusedArea;
  double refusedChat;
  unsigned long long joinDeadline;
  bool joined;
};

#endif  // SESSION_PEERBUDGET_H
