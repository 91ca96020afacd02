#ifndef SESSION_DRAWINGPROTOCOL_H
#define SESSION_DRAWINGPROTOCOL_H

// DrawingProtocol: queues the local stroke segments (newest 30) and sends
// them every 30 / updatesPerSecond session ticks as one DRAW body:
// "DRAW", a compression flag (1 = zlib), then blocks of
// brush, colour, peer index (0), line count, the first line as four big-endian
// 32-bit values, and each further line either as (-x2, -y2) continuing the
// previous end point or as four values. Received DRAW bodies are decoded and
// painted onto the WorldMap, and can hand back the lines they painted so that
// the host relays exactly those. Owned by the network facade; run by the
// session server or client from their session tick.

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "DBuffer.h"
#include "DrawingData.h"

class WorldMap;

class DrawingProtocol {
 public:
  static const unsigned int MAX_PENDING_LINES = 30;
  // The line count is one byte and 0 is invalid; longer runs are split.
  static const unsigned int MAX_LINES_PER_BLOCK = 254;
  // A peer sends at most MAX_PENDING_LINES lines (600 payload bytes) per
  // message. A received message is held to these bounds (twice that, with
  // room), so a small compressed body cannot make the receiver inflate or
  // paint without end: one message paints at most 64 strokes.
  static const unsigned int MAX_PAYLOAD_SIZE = 4096;
  static const unsigned int MAX_LINES_PER_MESSAGE = 64;

  DrawingProtocol();
  ~DrawingProtocol();
  DrawingProtocol(const DrawingProtocol&) = delete;
  DrawingProtocol& operator=(const DrawingProtocol&) = delete;

  // Queues a segment with the current brush size and fill type.
  // Requires: every coordinate is 0 or greater (fatal otherwise).
  void addCoordinates(long x1, long y1, long x2, long y2);
  // Queues a segment with its own brush size and fill type (one painted
  // earlier). Requires: as addCoordinates.
  void addLine(const DrawingData& line);

  // Session tick of a client: sends the queue to the host when it is time.
  // Host is anything with sendMessage(unsigned char type, const DBuffer&):
  // the session client, a DDispatcher.
  template <class Host>
  void runClient(Host* host) {
    libkorvet::DBuffer message;
    if (prepareClientMessage(message)) host->sendMessage(static_cast<unsigned char>(0), message);
  }

  // Session tick of the host: sends the host's own segments to every
  // connection, in the set's order, within the bandwidth limit. A template
  // so that this layer needs no knowledge of the server's connection class.
  template <class Connection>
  void runServer(std::set<Connection*> clients) {
    libkorvet::DBuffer message;
    if (!prepareServerMessage(message)) return;
    for (Connection* connection : clients)
      connection->sendMessage(static_cast<unsigned char>(0), message);
  }

  // The tick logic of runClient / runServer: true with a complete DRAW
  // message in `message` when one is to be sent now. With `now`, whatever
  // is queued goes at once, whatever the tick (before an undo, which must
  // follow the stroke's last lines).
  bool prepareClientMessage(libkorvet::DBuffer& message, bool now = false);
  bool prepareServerMessage(libkorvet::DBuffer& message, bool now = false);

  // The next segment queued begins a stroke (the button was pressed).
  void markStrokeStart() { nextStartsStroke = true; }
  // Of the lines in the message prepared last, the indexes of those that
  // begin a stroke, ascending.
  const std::vector<unsigned char>& getStrokeStarts() const { return strokeStarts; }

  // Asked before each received line is painted, with what painting it costs
  // (WorldMap::lineCost); false leaves that line and the rest unpainted.
  typedef std::function<bool(long pixels)> PaintGate;

  // Paints a received DRAW body whose "DRAW" header the caller removed.
  // Problems are posted as status lines; lines before a problem stay painted.
  // False when the body was malformed (a refusal of the gate is not). With
  // `painted`, every line that was painted is appended to it, in order.
  bool parseDraw(libkorvet::DBuffer& body, WorldMap* map, const PaintGate& gate = PaintGate(),
                 std::vector<DrawingData>* painted = nullptr);
  // Decodes and paints one block from the front of body, removing its bytes.
  bool extractDrawing(libkorvet::DBuffer& body, WorldMap* map);
  // Encodes the queue as blocks (appended to out) and empties it.
  void generateDrawingProtocol(libkorvet::DBuffer& out);
  // A whole DRAW message ("DRAW", flag, blocks) of count lines from first on.
  // Requires: count is 1 to MAX_LINES_PER_MESSAGE, the lines are in range.
  static void buildMessage(const std::vector<DrawingData>& lines, std::size_t first, std::size_t count,
                           libkorvet::DBuffer& message);
  void sendRawDrawing(libkorvet::DBuffer& blocks);

  size_t getNumPending() const { return pendingLines.size(); }
  int getUpdatesPerSecond() const { return updatesPerSecond; }
  int getSendLimit() const { return sendLimit; }

  static int getNumInstances() { return -1; }

 private:
  enum BlockResult { BLOCK_OK, BLOCK_MALFORMED, BLOCK_REFUSED };
  BlockResult extractBlock(libkorvet::DBuffer& body, WorldMap* map, unsigned int& lineBudget,
                           const PaintGate& gate, std::vector<DrawingData>* painted);
  static void postStatus(const std::string& text);

  std::deque<DrawingData> pendingLines;
  // Beside each pending line: whether it begins a stroke.
  std::deque<bool> pendingStarts;
  std::vector<unsigned char> strokeStarts;
  int updatesPerSecond;
  int sendLimit;
  int tickCount;
  // Ready-made blocks to relay with the next host send. Each protocol has
  // its own, so two protocols alive at once cannot free each other's.
  libkorvet::DBuffer rawDrawings;
  bool nextStartsStroke;
};

#endif  // SESSION_DRAWINGPROTOCOL_H
