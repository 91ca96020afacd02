#ifndef SESSION_SERVERCONNECTION_H
#define SESSION_SERVERCONNECTION_H

// ServerConnection: the host's end of one client connection, a framed
// message dispatcher on an accepted socket, with the budget of what its peer
// may cost (PeerBudget). It meters every byte, message and framing fault of
// the peer, holds the status lines its handlers make to the budget, pauses
// reading while the peer sends faster than its inbound budget, reports a
// failed connection to its KivServer (which deletes it on the next session
// tick), and asks the server to drop it once the budget condemns the peer.
// Owned by the KivServer that accepted it.

#include <memory>
#include <string>
#include <vector>

#include "DDispatcher.h"
#include "PeerBudget.h"

class KivServer;

class ServerConnection : public libkorvet::DDispatcher {
 public:
  // Requires: socket belongs to engine's I/O service; server outlives this.
  // canvasBytes: the size of the canvas the client is to build (its JOIN
  // deadline); address: the budget shared with the peer's other connections.
  ServerConnection(libkorvet::DEngine* engine, Socket* socket, KivServer* server, unsigned long long canvasBytes,
                   std::shared_ptr<AddressBudget> address = nullptr);
  ~ServerConnection() override;

  void errorHandler(std::string text) override;
  // Every received chunk is charged to the inbound budget, and every line
  // its handlers post to the line budget.
  void receiveHandler(libkorvet::DBuffer& data) override;
  // Everything queued went out: the sync series may go on.
  void sendHandler() override;
  // Charged as a fault; shown while the budget allows.
  void corruptHandler(std::string text) override;
  // Sync messages are charged here (a second JOIN as a fault), the
  // session's own by the server's handler. Nothing passes once dropped.
  bool admitMessage(unsigned char type, const libkorvet::DBuffer& body) override;

  // Charges the budget. A refusal is posted once (coalesced) as dropped
  // excess; a charge that condemns the peer drops the connection.
  bool charge(PeerBudget::Kind kind, double amount);
  bool chargeLine(long pixels);
  bool chargeChatLine(unsigned int bytes);
  // Refuse a DRAW or CHAT before decoding when no line of it would fit.
  bool mayDraw();
  bool mayChat();
  // A malformed message: its text is posted (owner, colour 80) unless the
  // peer has used up its faults, which drops it. Without a text the problem
  // was posted already (by the protocol that found it).
  void chargeFault(const std::string& owner = std::string(), const std::string& text = std::string());

  // Sends a DRAW or CHAT message unless the connection is congested; a
  // skipped CHAT counts its lines, reported when the peer reads again or
  // is dropped.
  bool relay(const libkorvet::DBuffer& message, unsigned int chatLines = 0);

  // Applies the budget's time and outbound rules, and reads again once the
  // inbound budget allows (session tick). A peer that only overstayed (no
  // JOIN or password in time, idle, reading too little) goes only when its
  // place is wanted.
  void checkBudget(bool joined, bool streaming, bool placeWanted);

  // Extensions (ExtensionWire.h). The peer announced itself, asking for a
  // name (empty when it gave none); false when it had announced before.
  bool noteAnnounce(const std::string& name);
  bool hasAnnounced() const { return announced; }
  const std::string& getWantedName() const { return wantedName; }
  // The host's own announcement went to this peer.
  bool hostAnnounced() const { return announcedToPeer; }
  void setHostAnnounced() { announcedToPeer = true; }
  // An extension message (kind byte first); sent only to a peer that
  // announced itself and while not congested.
  bool sendExtension(const libkorvet::DBuffer& message);

  // Where the strokes of the peer's next DRAW begin (line numbers), as it
  // said just before it; taken by the DRAW.
  void setStrokeStarts(std::vector<unsigned char> starts) { strokeStarts.swap(starts); }
  std::vector<unsigned char> takeStrokeStarts() {
    std::vector<unsigned char> taken;
    taken.swap(strokeStarts);
    return taken;
  }

  // Admission of a session with a password: until admit(), the peer gets
  // nothing of the session and its JOIN is held back, to be passed on by
  // admit(). Without a password a connection is admitted from the start.
  void requireProof(const std::string& challenge);
  bool isAdmitted() const { return admitted; }
  // The challenge sent to the peer, until it answered.
  const std::string& getChallenge() const { return challenge; }
  void admit();

  // A connection on its way out with a verdict the peer is told: it takes
  // nothing more from the peer and closes once what is queued went out, or
  // after CLOSE_GRACE_MS (closingDue()).
  static const unsigned int CLOSE_GRACE_MS = 1000;
  void beginClosing();
  bool isClosing() const { return closing; }
  bool closingDue();

  // Closes the socket and ignores the peer from now on; the server does
  // the rest (status line, removal).
  void markDropped();
  bool isDropped() const { return dropped; }
  PeerBudget& getBudget() { return budget; }
  // The peer's address as it was at the accept (a closed socket has none).
  const std::string& getAddress() const { return address; }
  // The peer runs on the host's own machine: it reached the host at its own
  // address (127.0.0.1 from 127.0.0.1, or the LAN address from itself).
  bool isFromHostMachine() const { return ownMachine; }

  static int getNumInstances() { return -1; }

 private:
  // Drops the peer once its budget condemns it; one that only overstayed
  // goes only when its place is wanted.
  void enforce(bool placeWanted = false);
  // Posts the dropped excess and drops the peer if that condemned it; false.
  bool refuse(PeerBudget::Kind kind);
  void reportSkippedChat();

  KivServer* server;
  PeerBudget budget;
  std::string address;
  std::string wantedName;
  std::string challenge;
  std::vector<unsigned char> strokeStarts;
  // A JOIN that arrived before the password was proven.
  std::unique_ptr<libkorvet::DBuffer> heldJoin;
  unsigned long skippedChatLines;
  bool joinSeen;
  bool ownMachine;
  bool dropped;
  bool announced;
  bool announcedToPeer;
  bool admitted;
  bool closing;
  bool failed;
  unsigned int closingSince;
};

#endif  // SESSION_SERVERCONNECTION_H
