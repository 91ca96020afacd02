#ifndef SESSION_CHATPROTOCOL_H
#define SESSION_CHATPROTOCOL_H

// ChatProtocol: batches the chat lines typed or relayed since the last send
// into one CHAT body every 15 session ticks: "CHAT", a compression flag
// (1 = zlib), then the payload: line count, and per line a name length, the
// name, a text length and the text (every length one byte, 1 to 255).
// The host shows received lines and relays them to every client; a client
// shows what the host sends. Owned by the network facade.

#include <deque>
#include <functional>
#include <set>
#include <string>

#include "DBuffer.h"

class ChatProtocol {
 public:
  static const unsigned int MAX_FIELD_SIZE = 255;
  static const unsigned int MAX_LINES_PER_MESSAGE = 255;
  // The largest payload the format can describe: 255 lines of 255-byte names
  // and texts, plus the count. Inflating stops there.
  static const unsigned int MAX_PAYLOAD_SIZE = 1 + 255 * (2 + 2 * 255);
  // A frame body holds at most 64 KiB; "CHAT" and the flag take 5 of them.
  static const unsigned int MAX_SEND_PAYLOAD = 65536 - 5;
  // Lines waiting beyond this (a flood of relayed lines) drop the oldest.
  static const unsigned int MAX_QUEUED_LINES = 1024;

  ChatProtocol();
  ~ChatProtocol();

  // Queues a line; with display it is also shown here at once.
  void addChat(const std::string& name, const std::string& text, bool display);

  // Session tick of a client: every 15th tick sends what is queued to the host.
  template <class Host>
  void runClient(Host* host) {
    libkorvet::DBuffer message;
    if (prepareMessage(message)) host->sendMessage(static_cast<unsigned char>(0), message);
  }

  // Session tick of the host: the same message goes to every connection, in
  // the set's order. A template so this layer needs no knowledge of the
  // server's connection class.
  template <class Connection>
  void runServer(std::set<Connection*> clients) {
    libkorvet::DBuffer message;
    if (!prepareMessage(message)) return;
    for (Connection* connection : clients)
      connection->sendMessage(static_cast<unsigned char>(0), message);
  }

  // The tick logic of both run operations: true with a CHAT message when one
  // is to be sent now.
  bool prepareMessage(libkorvet::DBuffer& message);

  // Builds a CHAT message from the queue (empty when nothing waits). Lines
  // that do not fit one message stay queued for the next.
  void generateMessage(libkorvet::DBuffer& out);

  // Asked before each received line is shown (and relayed) with the bytes
  // it held once inflated (its two lengths, name and text); false leaves
  // that line and the rest of the message unshown.
  typedef std::function<bool(unsigned int bytes)> LineGate;

  // Handles a received CHAT body whose "CHAT" header the caller removed;
  // relay is true on the host. False when the body was malformed (a refusal
  // of the gate is not).
  bool parseChat(libkorvet::DBuffer& body, bool relay, const LineGate& gate = LineGate());
  // Decodes one line from the front of body, removing its bytes.
  bool extractMessage(libkorvet::DBuffer& body, bool relay);

  size_t getNumPending() const { return pending.size(); }
  // Lines in the message generateMessage built last.
  unsigned int getLastLineCount() const { return lastLineCount; }

  static int getNumInstances() { return -1; }

 private:
  enum LineResult { LINE_OK, LINE_MALFORMED, LINE_REFUSED };
  LineResult extractLine(libkorvet::DBuffer& body, bool relay, const LineGate& gate);
  static void postStatus(const std::string& text);

  struct Line {
    std::string name;
    std::string text;
  };
  // Lines waiting to be sent, oldest first.
  std::deque<Line> pending;
  int sendsPerSecond;
  int tickCount;
  unsigned int lastLineCount;
};

#endif  // SESSION_CHATPROTOCOL_H
