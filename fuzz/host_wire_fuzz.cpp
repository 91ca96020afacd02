// Everything a client can send to the host, read by the host's own
// dispatcher on a real connection: DRAW painted on the canvas, CHAT shown
// and relayed, CRC queries answered with chunk series, announcements and
// extension messages (frame type 1: password proofs, and the host's own
// kinds, which drop the sender), frames of types the host does not handle
// and bytes outside any frame.
//
// Once per process: a listening host with a 1600 x 1600 canvas and one
// client connected through its listener (a connection per input would cost
// far more than the input). An input is a list of records (see
// forEachRecord) that the client sends, framed as its dispatcher does:
//   selector % 4 = 0: a session body   1: a sync body
//                  2: a frame of another type (the body's first byte; for
//                     type 128 the next two are the sub-type), the rest
//                  3: bytes outside any frame
// The last two lose their 0xA6 bytes: the host cannot take them as a
// message, and a marker among them would start a frame that swallows the
// records after it. So every input ends between frames. The upper six bits
// of the first selector say where the socket cuts the bytes (k: the first
// read ends at k/64 of them; 0: one read). Per input the
// client joins afresh (its sync state machine back where a new connection
// starts) and sends its records, and one session tick passes on the manual
// clock: relayed chat and chunk series go out as their timers come round,
// every 15th input. A connection the host closed is replaced.
// The session has a password: a new connection meets its first input
// before it proved it (its JOIN held, its strokes and chat ignored, a wrong
// proof refusing it); after that input the client proves it as a Brelvin
// client does. Each connection comes from another loopback address
// (127.0.0.2 to 127.0.0.250), so that the wrong proofs an address may make
// before it is refused for a while never stop the run.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "ChatProtocol.h"
#include "DrawingProtocol.h"
#include "ExtensionWire.h"
#include "HostAccess.h"
#include "KivServer.h"
#include "ServerConnection.h"
#include "SessionWire.h"
#include "SyncMessages.h"
#include "SyncNetwork.h"
#include "SyncServer.h"
#include "SyncServerFSM.h"
#include "WorldMap.h"
#include "FuzzSupport.h"

namespace {

using namespace fuzzsupport;
using libkorvet::DEngine;
using libkorvet::DTime;
using libksync::SyncNetwork;

// libFuzzer's timer signal (every few seconds, for -timeout) interrupts a
// blocking connect now and then: the connection is still being made, so it
// is waited for rather than taken as refused.
bool connectTo(int fd, const sockaddr_in& to) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
  if (errno != EINTR) return false;
  pollfd ready = {fd, POLLOUT, 0};
  int n;
  while ((n = poll(&ready, 1, 10000)) < 0 && errno == EINTR) {
  }
  if (n == 0) errno = ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof error;
  if (n <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  errno = error;
  return error == 0;
}

void withoutMarkers(DBuffer& bytes) {
  for (unsigned int i = 0; i < bytes.size(); ++i)
    if (bytes.getByte(i) == libkorvet::DDispatcher::MARKER_1) bytes.setByte(i, 0xA5);
}

class Host {
 public:
  Host() : server(&engine, &map, &drawing, &chat), client(&engine) {
    server.setPort(0);
    server.setPassword(PASSWORD);
    if (!server.initialize(1600, 1600)) broken("the host did not start");
    libksync::SyncMessages::buildJoin(join);
    connectClient();
  }

  void serve(const uint8_t* data, size_t size) {
    // Gone, or dropped and waiting for the tick that deletes it.
    if (server.getClients().count(connection) == 0 || !server.getSyncServer()->getClient(connection)) reconnect();
    server.getSyncServer()->getClient(connection)->resetFSM();
    sendSync(join);
    forEachRecord(data, size, [&](unsigned char selector, DBuffer body) {
      switch (selector % 4) {
        case 0:
          client.sendMessage(sessionwire::SESSION_TYPE, body);
          break;
        case 1:
          sendSync(body);
          break;
        case 2:
          otherFrame(body);
          break;
        default:
          withoutMarkers(body);
          client.wire.append(body);
      }
    });
    deliver(size > 0 ? data[0] >> 2 : 0);
    DTime::advanceManualClock(KivServer::TICK_INTERVAL_MS);
    engine.update(-1);
    drain();
    if (server.getClients().count(connection) != 0 && !connection->isAdmitted()) prove();
  }

 private:
  void sendSync(const DBuffer& body) {
    client.sendMessage(SyncNetwork::SYNC_MESSAGE_TYPE, sessionwire::SYNC_SUBTYPE, body);
  }
  void otherFrame(DBuffer& body) {
    if (body.size() < 4) return;
    const unsigned char type = body.getByte(0);
    const unsigned short subtype = static_cast<unsigned short>(body.getByte(1) << 8 | body.getByte(2));
    body.removeFirst(type == SyncNetwork::SYNC_MESSAGE_TYPE ? 3 : 1);
    withoutMarkers(body);
    if (type == SyncNetwork::SYNC_MESSAGE_TYPE)
      client.sendMessage(type, subtype, body);
    else
      client.sendMessage(type, body);
  }
  // The client's bytes reach the host's dispatcher as a socket delivers
  // them, at most a buffer's worth a read, until the host closes the
  // connection. The last read hands over the bytes without a copy.
  void deliver(unsigned int cut) {
    DBuffer& wire = client.wire;
    const unsigned int piece = connection->getBufferSize();
    unsigned int next = cut == 0 ? piece : std::max(1u, wire.size() * cut / 64);
    while (wire.size() > 0 && server.getClients().count(connection) != 0 && connection->isConnected()) {
      const unsigned int n = std::min({next, piece, wire.size()});
      if (n == wire.size()) {
        connection->receiveHandler(wire);
        break;
      }
      DBuffer bytes;
      bytes.append(wire, 0, n);
      wire.removeFirst(n);
      connection->receiveHandler(bytes);
      next = piece;
    }
    wire.clear();
  }
  // What the host sent is read and thrown away, so that its sends never wait.
  void drain() {
    static unsigned char sink[65536];
    while (recv(peer, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  }

  // Announces itself and answers the challenge, as a Brelvin client does.
  void prove() {
    if (!connection->hasAnnounced()) {
      DBuffer announce;
      announce.appendString(extwire::ANNOUNCE_HEADER);
      announce.appendVariable<unsigned char>(extwire::VERSION);
      announce.appendVariable<unsigned char>(4);
      announce.appendString("fuzz");
      client.sendMessage(sessionwire::SESSION_TYPE, announce);
    }
    DBuffer proof;
    proof.appendVariable<unsigned char>(extwire::PROOF);
    proof.appendString(HostAccess::proofFor(PASSWORD, connection->getChallenge()));
    client.sendMessage(extwire::EXTENSION_TYPE, proof);
    deliver(0);
    engine.update(-1);
    drain();
  }

  void connectClient() {
    // A refused address (too many wrong proofs) closes at once: the next
    // one is tried.
    for (int tries = 0; tries < 1000; ++tries) {
      if (tryConnect()) return;
      close(peer);
      pumpUntil(engine, KivServer::TICK_INTERVAL_MS, [&] { return server.numClients() == 0; },
                "the host kept a refused connection");
    }
    broken("every address was refused");
  }
  bool tryConnect() {
    peer = socket(AF_INET, SOCK_STREAM, 0);
    // Closed with a reset, so that no connection waits out TIME_WAIT: at
    // a thousand inputs a second, reconnecting after every drop used up
    // loopback's 28,000 ports within minutes.
    const linger reset = {1, 0};
    if (peer >= 0) setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.getLocalPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 2 + nextAddress);
    nextAddress = (nextAddress + 1) % 249;
    if (peer < 0 || bind(peer, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 || !connectTo(peer, to))
      broken(("cannot connect: " + std::string(std::strerror(errno))).c_str());
    bool refused = false;
    pumpUntil(engine, KivServer::TICK_INTERVAL_MS, [&] {
      if (server.numClients() == 1) return true;
      // Refused: the greeting and why, then the end of the stream.
      static unsigned char sink[4096];
      ssize_t n;
      while ((n = recv(peer, sink, sizeof sink, MSG_DONTWAIT)) > 0) {
      }
      return refused = n == 0;
    }, "the host did not admit the client");
    if (refused) return false;
    connection = *server.getClients().begin();
    return true;
  }
  void reconnect() {
    close(peer);
    pumpUntil(engine, KivServer::TICK_INTERVAL_MS, [&] { return server.numClients() == 0; },
              "the host kept a connection it had closed");
    connectClient();
  }

  SessionOptions options;
  DEngine engine;
  WorldMap map;
  DrawingProtocol drawing;
  ChatProtocol chat;
  KivServer server;
  WireRecorder client;
  DBuffer join;
  ServerConnection* connection = nullptr;
  int peer = -1;
  unsigned int nextAddress = 0;
  static constexpr const char* PASSWORD = "s3cret";
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Host* host = new Host();
  fromPeer([&] { host->serve(data, size); });
  return 0;
}
