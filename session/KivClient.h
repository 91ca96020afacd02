#ifndef SESSION_KIVCLIENT_H
#define SESSION_KIVCLIENT_H

// KivClient: the joining side of a session, one framed connection to the
// host's session port. It waits for the host's 12-byte greeting, builds the
// canvas of the announced size on a sync client it owns, joins, paints a
// placeholder that error correction replaces with the host's picture, then
// routes DRAW and CHAT bodies and runs both protocols on a 33 ms tick.
// A host that accepts but sends no greeting within GREETING_TIMEOUT_MS, or a
// join the sync client gives up on (bad or mismatching JOIN_ACK, no answer),
// fails the session with a text for the user, as does a joined host silent
// for HOST_SILENCE_MS. Once the first pass of the
// sync client has compared the whole canvas it says "The picture is
// complete" with the time the join took. What the host makes it do is
// charged to a HostBudget: past it, parsing and reading wait for the next
// ticks, excess chat is dropped, and a host past it for too long ends the
// session.
// Not reusable: one connection per object. The canvas and protocols are lent.

#include <string>
#include <vector>

#include "DDispatcher.h"
#include "DTime.h"
#include "DTimer.h"
#include "HostBudget.h"

namespace libksync {
class SyncClient;
}  // namespace libksync

class ChatProtocol;
class DrawingProtocol;
class WorldMap;

class KivClient : public libkorvet::DDispatcher {
 public:
  static const unsigned short SESSION_PORT = 5050;
  static const unsigned int TICK_INTERVAL_MS = 33;
  // Colour index of the placeholder squares (a dark grey).
  static const int PLACEHOLDER_COLOR = 2;
  static const unsigned int GREETING_TIMEOUT_MS = 30000;
  // A joined host answers two queries a second; one silent this long, as
  // long as the host waits for a silent client, is gone.
  static const unsigned int HOST_SILENCE_MS = 60000;

  // Requires: map and the protocols outlive this object.
  KivClient(libkorvet::DEngine* engine, WorldMap* map, DrawingProtocol* drawing, ChatProtocol* chat);
  ~KivClient() override;

  // Starts connecting to a dotted IPv4 address or host name; the outcome
  // arrives through connectHandler. Fatal once a connection was made.
  void connectToHost(const std::string& address, unsigned short port = SESSION_PORT);

  // The canvas lent holds what an earlier connection to this host showed: a
  // greeting of its size goes on with it instead of the placeholder, so only
  // the segments that differ travel. Only before the greeting.
  void continueCanvas() { continuing = true; }
  // The greeting named another size than the canvas continued: it started
  // over from the placeholder.
  bool startedOver() const { return startedAfresh; }
  // The session ended because the connection could not be made, broke, or
  // the host fell silent, not by anyone's verdict.
  bool lostConnection() const { return connectionLost; }
  // Bytes received from the host so far.
  unsigned long long getBytesReceived() const { return bytesReceived; }

  // The name this player asks the host to show it by; only before the
  // greeting.
  void setPlayerName(const std::string& name) { playerName = name; }
  // The password to prove to a host that asks for one (it never leaves
  // this object: the host gets a proof of it).
  void setPassword(const std::string& secret) { password = secret; }
  // The host ended the session by a verdict (a wrong password, a removal, a
  // ban): never retried. 0 while there is none (extwire::Verdict).
  unsigned char getVerdict() const { return verdict; }
  // The host has locked its canvas: nothing painted is taken meanwhile.
  bool canvasLocked() const { return locked; }

  // What the host said of its players (a host that never announced itself
  // lists nobody).
  struct Player {
    unsigned int id;
    std::string name;
    bool host;
    bool you;
  };
  const std::vector<Player>& getPlayers() const { return players; }
  // The host announced that it speaks the extensions.
  bool hostSpeaksExtensions() const { return hostAnnounced; }
  // Asks the host to undo (or redo) this player's newest stroke, after the
  // segments not yet sent, which go at once. False (nothing sent) when the
  // host does not speak the extensions.
  bool requestUndo(bool redo);

  // The greeting built the canvas.
  bool getReady() const { return ready; }
  // The host acknowledged the join: the canvas is being synchronized.
  bool getJoined() const;
  bool getClientOK() const { return clientOK; }
  // How much of the canvas has been verified since the greeting, 0 to 1;
  // 1 once the first pass is complete.
  double getJoinProgress() const;
  std::string getErrMsg() const { return errMsg; }

  void run();
  void connectHandler(std::string text, libkorvet::NetworkCode code) override;
  void errorHandler(std::string text) override;
  void corruptHandler(std::string text) override;
  // Every received chunk is charged to the budget, and every status line
  // its handlers post.
  void receiveHandler(libkorvet::DBuffer& data) override;
  // Parsing stops while the budget is in debt.
  bool pauseAfterMessage() override;
  static void syncError(std::string text);
  void messageHandler(libkorvet::DBuffer& body);
  // Every extension message from the host (frame type extwire::EXTENSION_TYPE).
  void extensionHandler(libkorvet::DBuffer& body);
  // Validates the greeting and sets up the canvas and the join.
  bool extractDimensions(libkorvet::DBuffer& greeting);

  // For tests and tools; null before the connection is up.
  libksync::SyncClient* getSyncClient() const { return syncClient; }
  HostBudget& getBudget() { return budget; }

  static int getNumInstances() { return -1; }

 private:
  static void postStatus(const std::string& text);
  void paintPlaceholder();
  void greetingOverdue();
  // Ends the session once the sync client has given up on the join.
  void checkJoin();
  void reportComplete();
  // The first failure of the connection itself ends the session.
  void loseConnection(const std::string& text);
  // The same for a failure the network engine reported: the words are the
  // reason, the system's text goes to the log.
  void loseLink(const std::string& words, const std::string& systemText);
  void sendAnnouncement();
  void hostAnnouncement(libkorvet::DBuffer& body);
  bool readRoster(libkorvet::DBuffer& body);
  void applyVerdict(unsigned char why);
  // Sends the queued segments when due (or now), each DRAW after the line
  // numbers in it that begin strokes, to a host that understands them.
  void sendDrawing(bool now);
  // The tick's part of the budget: the verdict, and parsing on where a
  // debt stopped it.
  void checkBudget();
  bool dropExcessChat();

  libksync::SyncClient* syncClient;
  WorldMap* worldMap;
  libkorvet::DEngine* engine;
  DrawingProtocol* drawingProtocol;
  ChatProtocol* chatProtocol;
  HostBudget budget;
  libkorvet::DTimer tickTimer;
  libkorvet::DTimer greetingTimer;
  // From the greeting on: how long the first pass took.
  libkorvet::DTime joinStart;
  libkorvet::DTime lastHeard;
  unsigned long long bytesReceived;
  std::string hostAddress;
  std::string playerName;
  std::string password;
  std::vector<Player> players;
  // The first thing the sync client reported about the join.
  std::string joinError;
  std::string errMsg;
  bool ready;
  bool clientOK;
  bool completeReported;
  bool continuing;
  bool startedAfresh;
  bool connectionLost;
  bool hostAnnounced;
  bool rosterSeen;
  bool locked;
  unsigned char verdict;
};

#endif  // SESSION_KIVCLIENT_H
