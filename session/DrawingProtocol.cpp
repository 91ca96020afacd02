// DrawingProtocol: DRAW encoding (queue, blocks, send cadence) and decoding.
//
// [SECTION] queue and send cadence
// [SECTION] encoding
// [SECTION] decoding

#include "DrawingProtocol.h"

#include <algorithm>
#include <cstdint>

#include "DEngine.h"
#include "KivSettings.h"
#include "PayloadCodec.h"
#include "WorldMap.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;

namespace {

const char* const OWNER = "DrawingProtocol";
const int STATUS_COLOR = 80;
const int TICKS_PER_SECOND = 30;
const unsigned int BLOCK_HEADER_SIZE = 4;
const unsigned int PAIR_SIZE = 8;
const unsigned char MAX_BRUSH_SIZE = 3;
const unsigned char MAX_FILL_TYPE = 100;
const unsigned char MAX_PEER_INDEX = 7;

int readInt(const DBuffer& buffer, long index) {
  int value = 0;
  buffer.extractVariable<int>(index, value);
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// [SECTION] queue and send cadence
// ---------------------------------------------------------------------------

DrawingProtocol::DrawingProtocol() : updatesPerSecond(1000), sendLimit(2), tickCount(0), nextStartsStroke(false) {
  int flushPeriod = KivSettings::getFlushPeriod();
  if (flushPeriod > 0) {
    updatesPerSecond = 1000 / flushPeriod;
    // A period above a second would otherwise give zero updates and a
    // division by zero just below.
    if (updatesPerSecond < 1) updatesPerSecond = 1;
    sendLimit = 2000 / updatesPerSecond;
  }
}

DrawingProtocol::~DrawingProtocol() {}

void DrawingProtocol::postStatus(const std::string& text) {
  KivSettings::addChatMessage(OWNER, text, STATUS_COLOR);
}

void DrawingProtocol::addCoordinates(long x1, long y1, long x2, long y2) {
  if (x1 < 0 || y1 < 0 || x2 < 0 || y2 < 0)
    DEngine::fatalError("DrawingProtocol::addCoordinates(): got a negative value");
  if (x1 > INT32_MAX || y1 > INT32_MAX || x2 > INT32_MAX || y2 > INT32_MAX)
    DEngine::fatalError("DrawingProtocol::addCoordinates(): got a value beyond 32 bits");

  DrawingData line(x1, y1, x2, y2);
  line.setBrushSize(KivSettings::getBrushSize());
  line.setFillType(KivSettings::getFillType());
  addLine(line);
}

void DrawingProtocol::addLine(const DrawingData& line) {
  if (line.getFirstX() < 0 || line.getFirstY() < 0 || line.getSecondX() < 0 || line.getSecondY() < 0)
    DEngine::fatalError("DrawingProtocol::addLine(): got a negative value");
  pendingLines.push_back(line);
  pendingStarts.push_back(nextStartsStroke);
  nextStartsStroke = false;
  if (pendingLines.size() > MAX_PENDING_LINES) {
    pendingLines.pop_front();
    pendingStarts.pop_front();
    KivSettings::logLine("Dropping coordinate!");
  }
}

void DrawingProtocol::sendRawDrawing(DBuffer& blocks) { rawDrawings.append(blocks); }

bool DrawingProtocol::prepareClientMessage(DBuffer& message, bool now) {
  tickCount += 1;
  if (!now && tickCount < TICKS_PER_SECOND / updatesPerSecond) return false;
  tickCount = 0;
  strokeStarts.clear();

  DBuffer payload;
  generateDrawingProtocol(payload);
  if (payload.size() == 0) return false;
  message.clear();
  PayloadCodec::wrap("DRAW", payload, message);
  return true;
}

bool DrawingProtocol::prepareServerMessage(DBuffer& message, bool now) {
  tickCount += 1;
  if (!now && tickCount < TICKS_PER_SECOND / updatesPerSecond) return false;
  tickCount = 0;

  DBuffer payload;
  generateDrawingProtocol(payload);
  payload.append(rawDrawings);
  rawDrawings.clear();
  if (payload.size() == 0) return false;

  message.clear();
  PayloadCodec::wrap("DRAW", payload, message);
  // The queue is already empty: a refused send drops these segments, which
  // the clients then receive through synchronization alone.
  if (static_cast<long>(message.size()) > static_cast<long>(sendLimit)) {
    message.clear();
    postStatus("Didn't send, bandwidth limit reached");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// [SECTION] encoding
// ---------------------------------------------------------------------------

namespace {

// Runs of one brush size and fill type make a block; a line that starts
// where the previous one ended is written as its end point, negated.
template <class Lines>
void encodeLines(const Lines& lines, std::size_t begin, std::size_t stop, DBuffer& out) {
  std::size_t i = begin;
  while (i < stop) {
    const DrawingData& first = lines[i];
    std::size_t end = i + 1;
    while (end < stop && end - i < DrawingProtocol::MAX_LINES_PER_BLOCK &&
           lines[end].getBrushSize() == first.getBrushSize() && lines[end].getFillType() == first.getFillType())
      ++end;

    out.appendVariable<unsigned char>(first.getBrushSize());
    out.appendVariable<unsigned char>(first.getFillType());
    out.appendVariable<unsigned char>(0);  // peer index: the receiver never reads it
    out.appendVariable<unsigned char>(static_cast<unsigned char>(end - i));
    out.appendVariable<int>(static_cast<int>(first.getFirstX()));
    out.appendVariable<int>(static_cast<int>(first.getFirstY()));
    out.appendVariable<int>(static_cast<int>(first.getSecondX()));
    out.appendVariable<int>(static_cast<int>(first.getSecondY()));

    for (std::size_t k = i + 1; k < end; ++k) {
      const DrawingData& previous = lines[k - 1];
      const DrawingData& line = lines[k];
      bool joined = line.getFirstX() == previous.getSecondX() && line.getFirstY() == previous.getSecondY();
      // (0, 0) has no negative form: (-0, -0) reads as a new start point.
      bool endsAtOrigin = line.getSecondX() == 0 && line.getSecondY() == 0;
      if (joined && !endsAtOrigin) {
        out.appendVariable<int>(static_cast<int>(-line.getSecondX()));
        out.appendVariable<int>(static_cast<int>(-line.getSecondY()));
      } else {
        out.appendVariable<int>(static_cast<int>(line.getFirstX()));
        out.appendVariable<int>(static_cast<int>(line.getFirstY()));
        out.appendVariable<int>(static_cast<int>(line.getSecondX()));
        out.appendVariable<int>(static_cast<int>(line.getSecondY()));
      }
    }
    i = end;
  }
}

}  // namespace

void DrawingProtocol::generateDrawingProtocol(DBuffer& out) {
  encodeLines(pendingLines, 0, pendingLines.size(), out);
  strokeStarts.clear();
  for (std::size_t i = 0; i < pendingStarts.size(); ++i)
    if (pendingStarts[i]) strokeStarts.push_back(static_cast<unsigned char>(i));
  pendingLines.clear();
  pendingStarts.clear();
}

void DrawingProtocol::buildMessage(const std::vector<DrawingData>& lines, std::size_t first, std::size_t count,
                                   DBuffer& message) {
  if (count == 0 || count > MAX_LINES_PER_MESSAGE || first + count > lines.size())
    DEngine::fatalError("DrawingProtocol::buildMessage(): lines out of range");
  DBuffer payload;
  encodeLines(lines, first, first + count, payload);
  message.clear();
  PayloadCodec::wrap("DRAW", payload, message);
}

// ---------------------------------------------------------------------------
// [SECTION] decoding
// ---------------------------------------------------------------------------

bool DrawingProtocol::parseDraw(DBuffer& body, WorldMap* map, const PaintGate& gate,
                                std::vector<DrawingData>* painted) {
  if (body.size() <= 1) {
    postStatus("parseDraw() got a msg containing " + DEngine::intToStr(body.size()) + " bytes");
    return false;
  }

  DBuffer inflated;
  std::string err;
  // Bounded: a real payload is a few hundred bytes.
  DBuffer* payload = PayloadCodec::unwrap(body, MAX_PAYLOAD_SIZE, inflated, "parseDraw", err);
  if (!payload) {
    postStatus(err);
    return false;
  }

  unsigned int lineBudget = MAX_LINES_PER_MESSAGE;
  while (payload->size() > 0) {
    BlockResult result = extractBlock(*payload, map, lineBudget, gate, painted);
    if (result != BLOCK_OK) return result == BLOCK_REFUSED;
  }
  return true;
}

bool DrawingProtocol::extractDrawing(DBuffer& body, WorldMap* map) {
  unsigned int lineBudget = MAX_LINES_PER_MESSAGE;
  return extractBlock(body, map, lineBudget, PaintGate(), nullptr) == BLOCK_OK;
}

DrawingProtocol::BlockResult DrawingProtocol::extractBlock(DBuffer& body, WorldMap* map, unsigned int& lineBudget,
                                                           const PaintGate& gate, std::vector<DrawingData>* painted) {
  if (body.size() < BLOCK_HEADER_SIZE) {
    postStatus("extractDrawing got a msg that's too short");
    return BLOCK_MALFORMED;
  }
  unsigned char brushSize = body.getByte(0);
  body.removeFirst(1);
  if (brushSize > MAX_BRUSH_SIZE) {
    postStatus("extractDrawing got invalid brush size");
    return BLOCK_MALFORMED;
  }
  unsigned char fillType = body.getByte(0);
  body.removeFirst(1);
  if (fillType > MAX_FILL_TYPE) {
    postStatus("extractDrawing got invalid fill type");
    return BLOCK_MALFORMED;
  }
  unsigned char peerIndex = body.getByte(0);
  body.removeFirst(1);
  if (peerIndex > MAX_PEER_INDEX) {
    postStatus("extractDrawing got invalid korvet index");
    return BLOCK_MALFORMED;
  }
  unsigned char numLines = body.getByte(0);
  body.removeFirst(1);
  if (numLines == 0) {
    KivSettings::addChatMessage("UDPReceiver", "extractDrawing got zero numLines", STATUS_COLOR);
    return BLOCK_MALFORMED;
  }

  unsigned int linesDrawn = 0;
  bool havePrevious = false;
  // 64 bits: negating the most negative 32-bit value must not overflow.
  int64_t previousX = 0;
  int64_t previousY = 0;
  while (body.size() >= PAIR_SIZE && linesDrawn < numLines) {
    int64_t a = readInt(body, 0);
    int64_t b = readInt(body, 4);
    body.removeFirst(PAIR_SIZE);

    int64_t startX;
    int64_t startY;
    int64_t endX;
    int64_t endY;
    if (a >= 0 && b >= 0) {
      if (body.size() < PAIR_SIZE) {
        postStatus("extractDrawing got no second coordinate");
        return BLOCK_MALFORMED;
      }
      startX = a;
      startY = b;
      endX = readInt(body, 0);
      endY = readInt(body, 4);
      body.removeFirst(PAIR_SIZE);
    } else {
      endX = -a;
      endY = -b;
      if (endX < 0 || endY < 0) {
        postStatus("extractDrawing got one + and one - coord");
        return BLOCK_MALFORMED;
      }
      // The most negative 32-bit value has no positive counterpart: such a
      // point lies beyond what any line can carry on, so nothing of it is
      // painted (a painted line must be one the host can relay as it is).
      if (endX > INT32_MAX || endY > INT32_MAX) {
        postStatus("extractDrawing got a coordinate out of range");
        return BLOCK_MALFORMED;
      }
      if (!havePrevious) {
        postStatus("parseDraw's 1st coordinate was -");
        return BLOCK_MALFORMED;
      }
      startX = previousX;
      startY = previousY;
    }

    if (lineBudget == 0) {
      postStatus("parseDraw() got more than " + DEngine::intToStr(MAX_LINES_PER_MESSAGE) +
                 " lines in one message");
      return BLOCK_MALFORMED;
    }
    --lineBudget;
    if (gate && !gate(WorldMap::lineCost(startX, startY, endX, endY, brushSize))) return BLOCK_REFUSED;
    if (map) map->applyLineDrawing(startX, startY, endX, endY, brushSize, fillType);
    if (painted) {
      DrawingData line(static_cast<long>(startX), static_cast<long>(startY), static_cast<long>(endX),
                       static_cast<long>(endY));
      line.setBrushSize(brushSize);
      line.setFillType(fillType);
      painted->push_back(line);
    }
    previousX = endX;
    previousY = endY;
    havePrevious = true;
    ++linesDrawn;
  }

  if (linesDrawn == numLines) return BLOCK_OK;
  postStatus("parseDraw got a msg that's missing lines");
  return BLOCK_MALFORMED;
}
