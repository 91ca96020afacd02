#ifndef SESSION_PEERBUDGET_H
#define SESSION_PEERBUDGET_H

// PeerBudget: what one client connection may cost the host, and when it must
// go. Every handler of the connection charges it: framing faults and
// malformed bodies, DRAW lines and the area they paint, CHAT bytes, sync
// messages. Each inbound kind is a token bucket (a rate and a burst); a charge
// that does not fit is refused and the caller drops what it was for. Refusals
// that go on for OVER_BUDGET_CLOSE_MS, or faults past their bucket, condemn
// the peer. Outbound, DRAW and CHAT wait while the connection is congested;
// past MAX_UNSENT_BYTES it is condemned. Admission: a JOIN within
// JOIN_DEADLINE_MS of the greeting, then never silent for SILENCE_LIMIT_MS.
// Owned by the host's ServerConnection; time is the engine's clock.
//
// The limits start from the most a real client sends: one stroke segment per
// game tick (30 a second, at most 30 in one DRAW), each painting at most
// lineCost(brush 3) = 3430 pixels, so about 100,000 pixels a second; a CHAT
// every 15 ticks with what a person typed (a 255-byte line is the most one
// line holds, about 1 KB a second at most); a 63-byte CRC query every 500 ms,
// plus the JOIN. Rates are four to sixteen times that; bursts hold what a
// network stall of several seconds can bunch up.
//
// Sync is sized for the fastest client instead, whatever the host's own
// pacing (a client's pace is its own setting, and the host cannot tell): a
// link-paced client runs its first pass cycle after cycle with queries of up
// to LARGEST_QUERY bytes. A pass over the largest canvas takes under a
// hundred cycles, which may come within a second; afterwards two a second.

#include <string>

#include "DTime.h"
#include "SyncMessages.h"
#include "SyncSettings.h"

namespace libkorvet {
class DClient;
class DEngine;
}  // namespace libkorvet

class PeerBudget {
 public:
  enum Kind { DRAW_LINES, PAINTED_AREA, CHAT_BYTES, SYNC_MESSAGES, SYNC_BYTES, FAULTS, NUM_KINDS };

  // Inbound rates (per second) and bursts.
  static constexpr double DRAW_LINES_PER_SECOND = 300;
  static constexpr double DRAW_LINES_BURST = 900;
  // About 30 ms of painting a second at the host's 55 ns a pixel.
  static constexpr double PAINTED_PIXELS_PER_SECOND = 600000;
  static constexpr double PAINTED_PIXELS_BURST = 1200000;
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
  // Refusals closer together than the gap are one overrun; an overrun that
  // lasts this long condemns the peer.
  static constexpr unsigned int OVER_BUDGET_GAP_MS = 1000;
  static constexpr unsigned int OVER_BUDGET_CLOSE_MS = 5000;

  // Outbound: what may wait unsent on the connection.
  static constexpr int CONGESTED_UNSENT_BYTES = 256 * 1024;
  static constexpr int MAX_UNSENT_BYTES = 4 * 1024 * 1024;

  // Admission. A client builds its copy of the canvas before it sends JOIN,
  // which takes seconds of CPU for the largest canvases, many more on a busy
  // machine: the deadline is a second for every JOIN_GRACE_BYTES of canvas,
  // at least JOIN_DEADLINE_MS. A squatter holds no place anyone wants for
  // long: a newcomer to a full host takes it after 5 seconds (KivServer).
  static constexpr unsigned int JOIN_DEADLINE_MS = 15000;
  static constexpr unsigned long long JOIN_GRACE_BYTES = 2000000;
  static constexpr unsigned int SILENCE_LIMIT_MS = 60000;

  // Requires: connection outlives this object. Made when the greeting goes
  // out: the JOIN deadline for a canvas of canvasBytes counts from here.
  PeerBudget(libkorvet::DEngine* engine, libkorvet::DClient* connection, unsigned long long canvasBytes = 0);

  // Inbound: true when amount fits; false means drop what it was for.
  bool charge(Kind kind, double amount);
  // A received DRAW line and the pixels it paints, both or neither.
  bool chargeLine(long pixels);
  // Whether a DRAW may be decoded: false (a refusal) while no line fits or
  // the area has not yet grown back to the line last refused for it, so a
  // flood past its budget costs no decompression.
  bool mayDraw();
  // A frame or body that was malformed; false once the peer is condemned.
  bool chargeFault();
  // Any message arrived.
  void noteHeard();

  // Outbound: whether `bytes` more of DRAW or CHAT may be queued now.
  bool maySend(unsigned int bytes) const;
  bool isCongested() const;

  // The time and outbound rules, checked on the session tick; joined tells
  // whether the sync JOIN was accepted, streaming whether the host is
  // sending the peer a repair (the peer rightly sends nothing meanwhile, as
  // long as it takes what is sent).
  void check(bool joined, bool streaming);

  // Why the peer must go, empty while it may stay.
  const std::string& getVerdict() const { return verdict; }
  // "DRAW", "CHAT", "sync" or "malformed data", for status lines.
  static std::string kindName(Kind kind);
  unsigned int ageMs();

  static int getNumInstances() { return -1; }

 private:
  struct Bucket {
    double tokens;
    double rate;
    double burst;
    unsigned long long lastMs;
  };

  unsigned long long now();
  bool take(Kind kind, double amount, unsigned long long at);
  // Whether a line of `area` fits now, without taking it; a refusal if not.
  bool drawRoom(double area);
  void refused(Kind kind, unsigned long long at);

  libkorvet::DTime origin;
  libkorvet::DClient* connection;
  Bucket buckets[NUM_KINDS];
  std::string verdict;
  unsigned long long latest;
  unsigned long long overSince;
  unsigned long long lastRefusal;
  unsigned long long lastHeard;
  double refusedArea;
  int lastUnsent;
  unsigned long long joinDeadline;
  bool overrun;
  bool joined;
};

#endif  // SESSION_PEERBUDGET_H
