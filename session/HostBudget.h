#ifndef SESSION_HOSTBUDGET_H
#define SESSION_HOSTBUDGET_H

// HostBudget: what the host of a session may cost the joining client, and
// when it must go. The client charges it for everything the host makes it
// do: the pixels of painted DRAW lines, CHAT lines shown, the bytes of the
// map that flushes and repairs write (each one change callback into the
// canvas), the bytes read, and the status lines the host's data makes.
// Each is a token bucket (a rate and a burst) of PeerBudget's kind.
//
// Painting, flushes and bytes read are never refused: what costs too much
// waits. A bucket in debt makes the client stop parsing after the message
// that spent it and stop reading the socket, so bytes the host has already
// sent wait in the system's buffers; the next ticks pay the debt off and go
// on where parsing stopped. Repairs are written a segment at a time while
// their bucket has tokens. CHAT lines past their bucket are dropped. Each
// bucket's burst is what the client can do between two frames; the rates
// hold a host's cost to a share of the client's time, so the window keeps
// drawing whatever the host sends.
//
// A host whose paint or flushes keep the input waiting, or whose chat is
// dropped, for OVER_BUDGET_CLOSE_MS within OVER_BUDGET_WINDOW_MS (PeerBudget's
// overrun rule) has sent more than a session needs and is condemned.
//
// The rates start from the most an honest host sends. It relays what its
// clients paint, each within the host's own budget of them (PeerBudget), so
// at most MAX_CLIENTS times PeerBudget::PAINTED_PIXELS_PER_SECOND. It sends
// one CHAT every 15 ticks with at most 255 lines. Its flushes are off, and a
// flush is bounded by one frame anyway. It repairs only what this client
// asked for, so repairs only wait and are never held against it.
// Owned by KivClient; time is the engine's clock.

#include "DTime.h"
#include "KivSettings.h"
#include "PeerBudget.h"

namespace libkorvet {
class DEngine;
}

class HostBudget : public KivSettings::LineGate {
 public:
  enum Kind { PAINTED_AREA, CHAT_LINES, FLUSHED_BYTES, REPAIRED_BYTES, INBOUND_BYTES, LOG_LINES, NUM_KINDS };

  // The host relays the strokes of up to eight clients. A pixel costs the
  // client about 40 ns (more on a busy machine), a byte a flush writes as
  // much (each is a change callback into the canvas bitmap), a byte of a
  // repair 2 to 7 ns (a segment is mirrored in rows): a burst is some 10 to
  // 40 ms of work.
  static constexpr double MAX_RELAYED_CLIENTS = 8;
  static constexpr double PAINTED_PIXELS_PER_SECOND =
      MAX_RELAYED_CLIENTS * PeerBudget::PAINTED_PIXELS_PER_SECOND;
  static constexpr double PAINTED_PIXELS_BURST = 250000;
  // A full CHAT every 15 ticks is 515 lines a second; the burst holds the
  // backlog of a stall of four seconds.
  static constexpr double CHAT_LINES_PER_SECOND = 640;
  static constexpr double CHAT_LINES_BURST = 2048;
  static constexpr double FLUSHED_BYTES_PER_SECOND = 2000000;
  static constexpr double FLUSHED_BYTES_BURST = 500000;
  // 8000 segments a second: the largest canvas in under 2 s, a link-paced
  // reply of 255 segments in 32 ms, 200 segments a frame.
  static constexpr double REPAIRED_BYTES_PER_SECOND = 240000000;
  static constexpr double REPAIRED_BYTES_BURST = 6000000;
  // Everything read, before it is parsed: a link-paced join reads a few MB
  // a second; the burst is what a frame can parse of the cheapest messages.
  static constexpr double INBOUND_BYTES_PER_SECOND = 16 * 1024 * 1024;
  static constexpr double INBOUND_BYTES_BURST = 512 * 1024;

  explicit HostBudget(libkorvet::DEngine* engine);

  // A DRAW line about to be painted, by WorldMap::lineCost.
  void chargePaint(long pixels);
  // The sync client's count of flushed bytes, or of repaired bytes; what
  // moved since the last call is charged. mayRepair tells whether another
  // segment may be written now.
  void chargeFlushed(unsigned long long totalFlushed);
  bool mayRepair(unsigned long long totalRepaired);
  void chargeInbound(unsigned int bytes);
  // A CHAT line shown: false (a refusal) drops it and the rest of its
  // message. mayChat refuses a whole CHAT before it is decoded while no line
  // would fit.
  bool chargeChatLine();
  bool mayChat();
  // Whether parsing and reading must wait for a debt to be paid; a wait for
  // paint or flushes counts as the host over its bounds.
  bool mustWait();
  // The session tick: a debt of paint or flushes still unpaid counts too.
  void check();
  // The host has been over its bounds for too long.
  bool isCondemned() const { return condemned; }
  // A status line about the host's data (KivSettings::LineGate), bounded as
  // the host bounds those about a client.
  bool admitLine() override;

  static int getNumInstances() { return -1; }

 private:
  unsigned long long now();
  bool inDebt(Kind kind, unsigned long long at);
  void refused(unsigned long long at);

  libkorvet::DTime origin;
  TokenBucket buckets[NUM_KINDS];
  OverrunClock overruns;
  unsigned long long latest;
  unsigned long long flushedSeen;
  unsigned long long repairedSeen;
  bool condemned;
};

#endif  // SESSION_HOSTBUDGET_H
