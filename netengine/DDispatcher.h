#ifndef NETENGINE_DDISPATCHER_H
#define NETENGINE_DDISPATCHER_H

// DDispatcher: a DClient connection carrying framed messages. A frame is
// A6 09 39, the body length minus 1 (16 bits, big-endian), then a type byte
// and a 16-bit sub-type when the receiver's registrations use them, then the
// body (1 to 65536 bytes). Received bodies go to the handler registered for
// their type (and sub-type), or to the one generic handler; framing faults go
// to corruptHandler and the receiver resynchronises on the next marker.
// Requires: handlers are registered before the first message can arrive.

#include <memory>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "DBuffer.h"
#include "DClient.h"

namespace libkorvet {

class DEventMap;
class DFlushEvent;

class DDispatcher : public DClient {
 public:
  typedef boost::function<void(DBuffer&)> Handler;

  static const unsigned char MARKER_1 = 0xA6;
  static const unsigned char MARKER_2 = 0x09;
  static const unsigned char MARKER_3 = 0x39;
  static const unsigned int MAX_BODY_SIZE = 65536;
  // The largest frame a generic or typed receiver can resynchronise past:
  // three marker bytes, two length bytes and the largest body.
  static const int MAX_UNSYNCED_BYTES = 65541;

  explicit DDispatcher(DEngine* e);
  DDispatcher(DEngine* e, unsigned int bufferSize);
  DDispatcher(DEngine* e, Socket* socket);
  DDispatcher(DEngine* e, Socket* socket, unsigned int bufferSize);
  ~DDispatcher() override;

  // The generic handler: every message is then untyped.
  void addHandler(Handler f);
  void addHandler(unsigned char type, Handler f);
  void addHandler(unsigned char type, unsigned short subtype, Handler f);

  // An empty body sends nothing; one above 64 KB is fatal.
  void sendMessage(const DBuffer& body);
  void sendMessage(unsigned char type, const DBuffer& body);
  void sendMessage(unsigned char type, unsigned short subtype, const DBuffer& body);

  // Typed frames of several bodies handed to the connection in one piece:
  // small messages sent one after another while the delay is on would
  // otherwise wait for the peer to acknowledge the first.
  void sendMessages(unsigned char type, const std::vector<const DBuffer*>& bodies);

  // Sends every batched frame; true if there was at least one.
  bool flush();
  // Drops the batched frames unsent.
  void clearOutMessages();

  int unsentBytes() override;
  void receiveHandler(DBuffer& data) override;
  void delayToggled() override;
  // A framing or routing fault of the incoming stream; does nothing by default.
  virtual void corruptHandler(std::string text);
  // Sees every complete message before its handler (type 0 in untyped
  // frames); false drops it unhandled. Lets a connection meter what its
  // peer sends whichever layer handles it. Admits everything by default.
  virtual bool admitMessage(unsigned char type, const DBuffer& body);
  // Asked after each handled message: true stops the walk there. The rest of
  // the chunk is kept (with anything that still arrives) and reading holds
  // until feedHeldInput() takes it up again. Lets a receiver that has spent
  // its budget of work leave the remainder for later. False by default.
  virtual bool pauseAfterMessage();

  static int getNumInstances() { return -1; }

 protected:
  // Parses what a pause kept, unless pauseAfterMessage() stops it again;
  // once all of it is taken, reading resumes. The caller wraps it as it
  // wraps receiveHandler. Requires: not called from inside a handler.
  void feedHeldInput();
  bool hasHeldInput() const { return heldInput.size() > 0; }

 private:
  void init();
  // Puts the marker and length in front of the type, sub-type and body.
  void appendHeader(DBuffer& frame, const DBuffer& body);
  // Frames the body (with a type when typed, and a sub-type when it has one)
  // and sends it, or adds it to the batch while the send delay is off.
  void frameAndDispatch(const DBuffer& body, bool typed, unsigned char type, bool hasSubtype,
                        unsigned short subtype);
  void appendFrame(DBuffer& out, const DBuffer& body, bool typed, unsigned char type, bool hasSubtype,
                   unsigned short subtype);
  // Reports a marker byte that did not match (once until back in step).
  void framingError(unsigned char expected, unsigned char received);
  void reportCorrupt(const std::string& text);
  // The receive state machine over one chunk.
  void walk(DBuffer& data);

  std::vector<std::unique_ptr<DEventMap>> eventMaps;
  // Frames waiting for the next flush, back to back in one buffer: batching
  // many small messages then costs no allocation per message.
  std::unique_ptr<DBuffer> outMessages;
  int outCount;
  std::unique_ptr<DFlushEvent> flushEvent;
  Handler genericHandler;
  Handler currentHandler;
  DBuffer headerBuf;
  DBuffer messageBuf;
  // Received bytes a pause left unparsed, oldest first.
  DBuffer heldInput;
  int recvState;
  int messageLength;
  long unsyncedBytes;
  unsigned char currentType;
  bool reportCorruption;
  bool haveTypedHandlers;
  bool haveGenericHandler;
};

}  // namespace libkorvet

#endif  // NETENGINE_DDISPATCHER_H
