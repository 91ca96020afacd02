#ifndef SESSION_KIVSERVER_H
#define SESSION_KIVSERVER_H

// KivServer: the host side of a session. Listens on the session port (5050),
// admits up to MAX_CLIENTS connections, greets each with the canvas size
// ("NTPT", width, height; 12 bytes, big-endian), registers it with the sync
// server it owns, paints received DRAW bodies onto the canvas and shows and
// relays CHAT bodies, each charged to the sending connection's budget. A 33 ms
// session tick applies the budgets' deadlines, sends the host's strokes, the
// relayed chat and the lines it painted from each client's DRAW (to every
// other client) to every client that is reading, and deletes the
// connections that failed or were dropped. Every painter's recent strokes
// are kept (StrokeHistory) for undo, redo and rollback on the canvas.
// The canvas and the two protocols are lent by the network facade.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DServer.h"
#include "DTimer.h"
#include "DrawingData.h"
#include "HostAccess.h"
#include "PlayerRoster.h"
#include "SessionWire.h"
#include "StrokeHistory.h"

namespace libkorvet {
class DBuffer;
class DEngine;
}  // namespace libkorvet

namespace libksync {
class SyncServer;
}  // namespace libksync

class AddressBudget;
class ChatProtocol;
class DrawingProtocol;
class ServerConnection;
class WorldMap;

class KivServer : public libkorvet::DServer {
 public:
  static const unsigned short SESSION_PORT = 5050;
  static const unsigned int MAX_CLIENTS = 8;
  static const unsigned int GREETING_SIZE = sessionwire::GREETING_SIZE;
  static const unsigned int TICK_INTERVAL_MS = 33;
  // Addresses whose shared budget (status lines) is remembered after their
  // connections went; beyond it the one unused longest is forgotten.
  static const std::size_t MAX_TRACKED_ADDRESSES = 256;
  // Connections told a verdict that may wait for it to go out at once;
  // beyond them a refused connection is closed without one.
  static const std::size_t MAX_CLOSING = 64;

  // Requires: map and the protocols outlive this object.
  KivServer(libkorvet::DEngine* engine, WorldMap* map, DrawingProtocol* drawing, ChatProtocol* chat);
  ~KivServer() override;

  // The port initialize() listens on; 0 lets the system choose (see
  // DServer::getLocalPort()). Only before initialize().
  void setPort(unsigned short port) { listenPort = port; }

  // Listens, creates the sync server and the canvas and starts the tick.
  // False with the reason in getErrMsg(); a second call is fatal.
  bool initialize(unsigned int width, unsigned int height);
  void run();
  bool getServerOK() const { return serverOK; }
  // The listener's text, or the text of the step of initialize() that failed.
  std::string getErrMsg() const;

  void connectHandler(Socket* socket) override;
  void errorHandler(std::string text) override;
  void disconnectHandler(std::string text, ServerConnection* connection);
  // A connection sent everything it had queued.
  void connectionDrained(ServerConnection* connection);
  // Every type-0 message, with the connection it came from.
  // Requires: from is one of this server's connections.
  void messageHandler(libkorvet::DBuffer& body, ServerConnection* from);
  // Ends a connection whose peer broke its budget: "Dropped <address>:
  // <reason>", the socket closed, removal on the next tick.
  void dropConnection(ServerConnection* connection, const std::string& reason);
  void clearDeletions();
  static void syncError(std::string text);

  // The session's password; empty (the default) is an open session, on the
  // wire exactly as without one. Applies to connections from then on.
  void setPassword(const std::string& password) { access.setPassword(password); }
  HostAccess& getAccess() { return access; }
  // Moderation, the host's alone; each answer says what was done or why
  // not. A kicked player's connection ends within a second, its client
  // told so (it does not come back by itself); banning also refuses the
  // player's address for the rest of the host's run.
  bool kick(unsigned int playerId, bool andBan, std::string& answer);
  bool unban(const std::string& address, std::string& answer);
  // Locked, the host paints and relays no client's strokes (each client's
  // synchronization repairs what it painted), and tells the clients that
  // understand, which then paint nothing. The host still paints.
  void setLocked(bool on);
  bool isLocked() const { return access.isLocked(); }

  // The host's own name in the player list ("host" until set).
  void setHostName(const std::string& name);
  const PlayerRoster& getRoster() const { return roster; }
  // A connection's first JOIN is passed on: it joins the player list.
  void playerJoining(ServerConnection* connection);
  // Hands a JOIN held back until the password was proven to the sync server.
  void passJoin(ServerConnection* connection, libkorvet::DBuffer& join);
  // Every extension message (frame type extwire::EXTENSION_TYPE).
  void extensionHandler(libkorvet::DBuffer& body, ServerConnection* from);

  // The 12-byte greeting for a canvas of width x height.
  static void buildGreeting(unsigned int width, unsigned int height, libkorvet::DBuffer& out);

  // For tests and tools.
  std::size_t numClients() const { return clients.size(); }
  const std::set<ServerConnection*>& getClients() const { return clients; }
  libksync::SyncServer* getSyncServer() const { return syncServer; }

  // Every painter's recent strokes; null before initialize().
  StrokeHistory* getHistory() const { return history.get(); }
  // Undoes (or redoes) the painter's newest stroke on the canvas; the
  // changed pixels go to the clients at once.
  StrokeHistory::Result undoStroke(StrokeHistory::Painter painter, bool redo = false);
  // Undoes everything the painter painted in the last minutes, posting
  // "Undid N strokes of NAME".
  StrokeHistory::Result rollback(StrokeHistory::Painter painter, unsigned int minutes, const std::string& name);
  // The same for a player of the list, present or gone (the list keeps
  // those who left for a while); the answer is that status line.
  bool rollbackPlayer(unsigned int playerId, unsigned int minutes, std::string& answer);
  // Whether the history still holds strokes of the player.
  bool hasStrokes(unsigned int playerId) const;
  // The painter of a connection's strokes: its player's number, or
  // StrokeHistory::NOBODY before it joined the player list.
  StrokeHistory::Painter painterOf(const ServerConnection* connection) const;

  static int getNumInstances() { return -1; }

 private:
  static void postStatus(const std::string& owner, const std::string& text);
  // Queues a connection for deletion on the next tick; its state machine
  // goes at once.
  void queueRemoval(ServerConnection* connection);
  std::size_t liveClients() const { return clients.size() - pendingRemovals.size(); }
  // A full host makes room for a newcomer by the rules that admit: of those
  // past their JOIN deadline, idle or reading too little (a full host keeps
  // them until then), the one that overstayed longest goes; else an address
  // holding more than PeerBudget::MAX_CONNECTIONS_PER_ADDRESS places gives
  // one up to a newcomer from elsewhere. Connections from the host's own machine are
  // not counted against their address.
  void makeRoom(ServerConnection* newcomer);
  // placeWanted: a peer that only overstayed goes too (see makeRoom).
  void checkConnection(ServerConnection* connection, bool placeWanted);
  bool hasJoined(ServerConnection* connection) const;
  // The shared budget of an address, made when first seen.
  std::shared_ptr<AddressBudget> addressBudget(const std::string& address);
  // Posts the counts of status lines held back per address, when due.
  void postHeldLines();
  // Ends a connection with a verdict: the status line, the player leaves
  // the list, the peer is told why when it understands, and the socket
  // closes once that went out (ServerConnection::beginClosing).
  void endWithVerdict(ServerConnection* connection, const std::string& line, unsigned char verdict);
  void proofHandler(libkorvet::DBuffer& body, ServerConnection* from);
  // Leaves the sync server and the player list ("NAME left").
  void forget(ServerConnection* connection);
  // Deletes the closing connections that are done.
  void finishClosing();
  // A client's announcement (the body after its header).
  void announceHandler(libkorvet::DBuffer& body, ServerConnection* from);
  void sendHostAnnouncement(ServerConnection* to, unsigned char mode, const std::string& extra = std::string());
  static void buildHostAnnouncement(unsigned char mode, const std::string& extra, libkorvet::DBuffer& out);
  // The present players to every admitted client that announced itself.
  void sendRoster();
  void sendRoster(ServerConnection* to);
  void sendLock(ServerConnection* to);
  // Sends the lines painted from clients' DRAW bodies since the last tick to
  // every client but their sender, in the order they were painted.
  void relayStrokes();
  // After an undo: what was painted before it goes out first, then the
  // changed pixels.
  void publishChange(const StrokeHistory::Result& change);
  // Tells painters once that their oldest strokes were forgotten.
  void tellForgotten();
  // A client's STROKE_STARTS (its kind byte removed), UNDO and REDO.
  void strokeStartsHandler(libkorvet::DBuffer& body, ServerConnection* from);
  void undoRequest(ServerConnection* from, bool redo);

  // Lines painted from one client's consecutive DRAW bodies; `from` is
  // cleared when that connection is deleted first.
  struct Relay {
    ServerConnection* from;
    std::vector<DrawingData> lines;
  };

  std::set<ServerConnection*> clients;
  // Connections that failed; they are still inside their own error report
  // when queued, so only the next tick deletes them.
  std::vector<ServerConnection*> pendingRemovals;
  // Connections told a verdict, waiting to close; not among the clients.
  std::vector<ServerConnection*> closing;
  // Bounded by the senders' DRAW budgets.
  std::vector<Relay> relays;
  struct AddressEntry {
    std::shared_ptr<AddressBudget> budget;
    unsigned long long seen;  // addressUses when a connection last came from it
  };
  std::map<std::string, AddressEntry> addresses;
  unsigned long long addressUses;
  PlayerRoster roster;
  HostAccess access;
  libksync::SyncServer* syncServer;
  WorldMap* worldMap;
  DrawingProtocol* drawingProtocol;
  ChatProtocol* chatProtocol;
  libkorvet::DEngine* engine;
  libkorvet::DTimer tickTimer;
  // Failures of initialize() that are not the listener's own text.
  std::string startErrMsg;
  unsigned short listenPort;
  bool serverOK;
  std::unique_ptr<StrokeHistory> history;
};

#endif  // SESSION_KIVSERVER_H
