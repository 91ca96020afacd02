// DDispatcher
//   [Set-up]       constructors, handler registration
//   [Sending]      framing, batching while the send delay is off, flush
//   [Receiving]    the receive state machine and its corruption reports

#include "DDispatcher.h"

#include <algorithm>

#include "DEngine.h"
#include "DEventMap.h"
#include "DFlushEvent.h"

namespace libkorvet {

const unsigned char DDispatcher::MARKER_1;
const unsigned char DDispatcher::MARKER_2;
const unsigned char DDispatcher::MARKER_3;
const unsigned int DDispatcher::MAX_BODY_SIZE;
const int DDispatcher::MAX_UNSYNCED_BYTES;

namespace {

// States of the receive machine.
enum RecvState {
  EXPECT_MARKER_1 = 0,
  EXPECT_MARKER_2 = 1,
  EXPECT_MARKER_3 = 2,
  LENGTH_HIGH = 3,
  LENGTH_LOW = 4,
  TYPE = 5,
  SUBTYPE_HIGH = 6,
  SUBTYPE_LOW = 7,
  BODY = 8
};

}  // namespace

// ---------------------------------------------------------------------------
// [Set-up]

DDispatcher::DDispatcher(DEngine* e) : DClient(e) { init(); }

DDispatcher::DDispatcher(DEngine* e, unsigned int size) : DClient(e, size) { init(); }

DDispatcher::DDispatcher(DEngine* e, Socket* socket) : DClient(e, socket) { init(); }

DDispatcher::DDispatcher(DEngine* e, Socket* socket, unsigned int size) : DClient(e, socket, size) {
  init();
}

void DDispatcher::init() {
  eventMaps.reserve(256);
  for (int t = 0; t < 256; ++t) eventMaps.emplace_back(new DEventMap(static_cast<unsigned char>(t)));
  outMessages.reset(new DBuffer);
  outCount = 0;
  recvState = EXPECT_MARKER_1;
  messageLength = 0;
  unsyncedBytes = 0;
  currentType = 0;
  reportCorruption = true;
  haveTypedHandlers = false;
  haveGenericHandler = false;
}

DDispatcher::~DDispatcher() {}

void DDispatcher::addHandler(Handler f) {
  if (haveTypedHandlers) {
    DEngine::addFatal("Tried to add a generic event handler, but we already ");
    DEngine::fatalError("have handlers for specific message types.");
  }
  genericHandler = f;
  haveGenericHandler = true;
}

void DDispatcher::addHandler(unsigned char type, Handler f) {
  if (haveGenericHandler) {
    DEngine::addFatal("Tried to add a handler for message type " + DEngine::intToStr(type));
    DEngine::fatalError(", but we already have a handler for all types of messages.");
  }
  eventMaps[type]->addHandler(f);
  haveTypedHandlers = true;
}

void DDispatcher::addHandler(unsigned char type, unsigned short subtype, Handler f) {
  if (haveGenericHandler) {
    DEngine::addFatal("Tried to add a handler for message type " + DEngine::intToStr(type));
    DEngine::fatalError(", but we already have a handler for all types of messages.");
  }
  eventMaps[type]->addHandler(subtype, f);
  haveTypedHandlers = true;
}

// ---------------------------------------------------------------------------
// [Sending]

void DDispatcher::appendHeader(DBuffer& frame, const DBuffer& body) {
  unsigned int size = body.size();
  if (size > MAX_BODY_SIZE) DEngine::fatalError("DDispatcher::appendHeader(): max message size is 64 KB");
  if (size == 0) DEngine::fatalError("DDispatcher::appendHeader(): message has no contents!");
  frame.appendByte(MARKER_1);
  frame.appendByte(MARKER_2);
  frame.appendByte(MARKER_3);
  frame.appendVariable<unsigned short>(static_cast<unsigned short>(size - 1));
}

void DDispatcher::appendFrame(DBuffer& out, const DBuffer& body, bool typed, unsigned char type,
                              bool hasSubtype, unsigned short subtype) {
  appendHeader(out, body);
  if (typed) out.appendVariable<unsigned char>(type);
  if (hasSubtype) out.appendVariable<unsigned short>(subtype);
  out.append(body);
}

void DDispatcher::frameAndDispatch(const DBuffer& body, bool typed, unsigned char type, bool hasSubtype,
                                   unsigned short subtype) {
  if (body.size() == 0) return;
  if (getDelayEnabled()) {
    // Frames batched earlier must not be overtaken.
    if (outCount > 0) flush();
    DBuffer frame;
    appendFrame(frame, body, typed, type, hasSubtype, subtype);
    send(frame);
  } else {
    appendFrame(*outMessages, body, typed, type, hasSubtype, subtype);
    ++outCount;
  }
}

void DDispatcher::sendMessage(const DBuffer& body) { frameAndDispatch(body, false, 0, false, 0); }

void DDispatcher::sendMessage(unsigned char type, const DBuffer& body) {
  frameAndDispatch(body, true, type, false, 0);
}

void DDispatcher::sendMessage(unsigned char type, unsigned short subtype, const DBuffer& body) {
  frameAndDispatch(body, true, type, true, subtype);
}

void DDispatcher::sendMessages(unsigned char type, const std::vector<const DBuffer*>& bodies) {
  if (!getDelayEnabled()) {
    for (const DBuffer* body : bodies) frameAndDispatch(*body, true, type, false, 0);
    return;
  }
  if (outCount > 0) flush();
  DBuffer frames;
  for (const DBuffer* body : bodies)
    if (body->size() > 0) appendFrame(frames, *body, true, type, false, 0);
  if (frames.size() > 0) send(frames);
}

bool DDispatcher::flush() {
  if (outCount == 0) return false;
  // Take the batch first: a send may lead back into sendMessage.
  std::unique_ptr<DBuffer> batch(new DBuffer);
  batch.swap(outMessages);
  outCount = 0;
  send(*batch);
  return true;
}

void DDispatcher::clearOutMessages() {
  outMessages->clear();
  outCount = 0;
}

int DDispatcher::unsentBytes() { return DClient::unsentBytes() + static_cast<int>(outMessages->size()); }

void DDispatcher::delayToggled() {
  if (getDelayEnabled()) {
    // Nothing would flush the batch any more: send it now, in order.
    flush();
    flushEvent.reset();
  } else if (!flushEvent) {
    flushEvent.reset(new DFlushEvent(engine, this));
  }
}

void DDispatcher::corruptHandler(std::string) {}

bool DDispatcher::admitMessage(unsigned char, const DBuffer&) { return true; }

bool DDispatcher::pauseAfterMessage() { return false; }

void DDispatcher::feedHeldInput() {
  if (heldInput.size() == 0) {
    resumeReceive();
    return;
  }
  DBuffer input(std::move(heldInput));
  heldInput.clear();
  std::shared_ptr<const bool> alive = lifeToken();
  walk(input);
  if (*alive && heldInput.size() == 0) resumeReceive();
}

// ---------------------------------------------------------------------------
// [Receiving]

void DDispatcher::reportCorrupt(const std::string& text) {
  errMsg = text;
  corruptHandler(errMsg);
}

void DDispatcher::framingError(unsigned char expected, unsigned char received) {
  recvState = EXPECT_MARKER_1;
  if (!reportCorruption) return;
  // Silent until a whole marker is found again.
  reportCorruption = false;
  reportCorrupt("Expected header byte " + DEngine::intToStr(expected) + ", got " +
                DEngine::intToStr(received));
}

void DDispatcher::receiveHandler(DBuffer& data) {
  // A receive that was outstanding when a pause began goes behind what the
  // pause kept, in order.
  if (heldInput.size() > 0) {
    heldInput.append(data);
    holdReceive();
    return;
  }
  walk(data);
}

void DDispatcher::walk(DBuffer& data) {
  // Handlers run in the middle of the walk and may delete this dispatcher.
  std::shared_ptr<const bool> alive = lifeToken();
  const long total = data.size();
  if (!reportCorruption) unsyncedBytes += total;

  DBufferIter it;
  it.setBuffer(&data);
  long index = 0;
  bool walking = true;
  while (walking && !it.finished()) {
    unsigned char b = *it.value();
    switch (recvState) {
      case EXPECT_MARKER_1:
        if (b == MARKER_1) {
          recvState = EXPECT_MARKER_2;
        } else {
          framingError(MARKER_1, b);
        }
        break;
      case EXPECT_MARKER_2:
        if (b == MARKER_2) {
          recvState = EXPECT_MARKER_3;
        } else {
          framingError(MARKER_2, b);
        }
        break;
      case EXPECT_MARKER_3:
        if (b == MARKER_3) {
          headerBuf.clear();
          reportCorruption = true;
          unsyncedBytes = 0;
          recvState = LENGTH_HIGH;
        } else {
          framingError(MARKER_3, b);
        }
        break;
      case LENGTH_HIGH:
        headerBuf.appendByte(b);
        recvState = LENGTH_LOW;
        break;
      case LENGTH_LOW: {
        headerBuf.appendByte(b);
        unsigned short length = 0;
        headerBuf.extractVariable<unsigned short>(0, length);
        messageLength = static_cast<int>(length) + 1;
        messageBuf.clear();
        currentHandler.clear();
        if (haveGenericHandler) {
          currentHandler = genericHandler;
          currentType = 0;
          recvState = BODY;
        } else {
          recvState = TYPE;
        }
        break;
      }
      case TYPE: {
        DEventMap& map = *eventMaps[b];
        currentType = b;
        if (map.getHaveSingle()) {
          currentHandler = map.getSingleHandler();
          recvState = BODY;
        } else if (map.size() > 0) {
          headerBuf.clear();
          recvState = SUBTYPE_HIGH;
        } else {
          recvState = EXPECT_MARKER_1;
          reportCorrupt("No handler set for message type " + DEngine::intToStr(b));
          if (!*alive) return;
        }
        break;
      }
      case SUBTYPE_HIGH:
        headerBuf.appendByte(b);
        recvState = SUBTYPE_LOW;
        break;
      case SUBTYPE_LOW: {
        headerBuf.appendByte(b);
        unsigned short subtype = 0;
        headerBuf.extractVariable<unsigned short>(0, subtype);
        if (eventMaps[currentType]->getHandler(subtype, currentHandler)) {
          recvState = BODY;
        } else {
          recvState = EXPECT_MARKER_1;
          reportCorrupt("No handler set for message type " + DEngine::intToStr(currentType) +
                        " sub-type " + DEngine::intToStr(subtype));
          if (!*alive) return;
        }
        break;
      }
      case BODY: {
        // The body is copied in one piece from this chunk, not byte by byte.
        long missing = static_cast<long>(messageLength) - static_cast<long>(messageBuf.size());
        long count = std::min(missing, total - index);
        if (count <= 0) DEngine::fatalError("DDispatcher::receiveHandler(): received too many bytes!");
        messageBuf.append(data, index, count);
        index += count;
        if (messageBuf.size() > static_cast<unsigned int>(messageLength))
          DEngine::fatalError("DDispatcher::receiveHandler(): stored too many bytes?!");
        if (messageBuf.size() == static_cast<unsigned int>(messageLength)) {
          recvState = EXPECT_MARKER_1;
          // Swapped out rather than copied: it is cleared before the next
          // message anyway, and a handler that deletes this dispatcher must
          // not be destroyed while it runs.
          Handler handler;
          handler.swap(currentHandler);
          if (admitMessage(currentType, messageBuf)) handler(messageBuf);
          if (!*alive) return;
          if (pauseAfterMessage()) {
            if (index < total) heldInput.append(data, index, total - index);
            holdReceive();
            return;
          }
        }
        if (index < total) {
          it.setIndex(index);
        } else {
          walking = false;
        }
        continue;
      }
      default:
        DEngine::fatalError("DDispatcher::receiveHandler(): reached an unknown state");
    }
    it.next();
    ++index;
  }

  while (!reportCorruption && unsyncedBytes > MAX_UNSYNCED_BYTES) {
    unsyncedBytes -= MAX_UNSYNCED_BYTES;
    reportCorrupt("Received 64 KB of data without finding a valid message.");
    if (!*alive) return;
  }
}

}  // namespace libkorvet
