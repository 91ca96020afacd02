#ifndef SESSION_NETSYSTEM_H
#define SESSION_NETSYSTEM_H

// NetSystem: the one door of the game to the network. Holds the player name,
// game name and host address, owns the drawing and chat protocols and, while
// a session runs, the KivServer (hosting) or the KivClient (joined); forwards
// strokes and chat lines, answers the health and readiness checks and tears
// everything down between sessions. A joined client that loses its host
// keeps its session and reconnects by itself (Reconnector), driven from the
// health check. Main thread only; the game engine owns the one instance and
// lends it the canvas when a session starts.

#include <string>
#include <vector>

namespace libkorvet {
class DEngine;
}  // namespace libkorvet

class ChatProtocol;
class DrawingProtocol;
class KivClient;
class KivServer;
class Reconnector;
class WorldMap;

class NetSystem {
 public:
  enum SessionMode { NO_SESSION = 0, HOSTING = 1, CLIENT = 2 };

  explicit NetSystem(libkorvet::DEngine* engine);
  ~NetSystem();
  NetSystem(const NetSystem&) = delete;
  NetSystem& operator=(const NetSystem&) = delete;

  // Ends any session (server, client and their connections go) and starts
  // over with new protocols and the default names; the host address stays.
  // The caller resets the canvas afterwards, before anything paints on it.
  void resetVariables();

  void setHostIP(const std::string& address) { hostIP = address; }
  // Fatal while a session is active.
  void setPlayerName(const std::string& name);
  void setGameName(const std::string& name);
  std::string getHostIP() const { return hostIP; }
  std::string getPlayerName() const { return playerName; }
  std::string getGameName() const { return gameName; }
  std::string getErrMsg() const { return errMsg; }

  // Starts listening with a canvas of width x height; false with the reason
  // in getErrMsg(). After a failure call resetVariables() before anything else.
  bool hostNewGame(unsigned int width, unsigned int height, WorldMap* map);
  // Starts connecting to the host address; true only means connecting
  // started: netOK() and clientReady() tell the outcome.
  bool joinExistingGame(WorldMap* map);

  // Queues a stroke segment the game painted locally (with or without a session).
  void addUDPDrawing(long x1, long y1, long x2, long y2);
  void sendChat(const std::string& text);
  // The user's own strokes: the next segment queued begins one (the button
  // was pressed); Ctrl+Z undoes the newest, Ctrl+Y redoes it. The host
  // applies them on its canvas at once; a client asks its host.
  void beginStroke();
  void undoOwnStroke();
  void redoOwnStroke();
  // The health check: false (text in getErrMsg()) once the session failed.
  // A joined client that lost its host stays healthy while it reconnects
  // (attempts are started from here), and fails when that ends.
  bool netOK();
  // While a lost host is being reconnected to: "Reconnecting to ADDRESS...
  // (attempt N)"; empty otherwise.
  std::string reconnectStatus() const;
  bool isReconnecting() const;
  // The last failure ended a reconnect (it gave up, or the host refused it).
  bool endedReconnecting() const { return reconnectEnded; }
  // Whether the joined client accepted the host's greeting and the host
  // acknowledged its join. Fatal unless a client.
  bool clientReady();
  // While a joined client's canvas is still being verified for the first
  // time, how much of it is done (0 to 1); negative otherwise (hosting, no
  // session, or the picture is complete).
  double joinProgress() const;

  // The password a hosted session asks for (empty: an open session) and the
  // one to prove when joining. Kept in memory only, across resets, never
  // written to the settings file.
  void setHostPassword(const std::string& password) { hostPassword = password; }
  void setJoinPassword(const std::string& password) { joinPassword = password; }
  const std::string& getHostPassword() const { return hostPassword; }
  const std::string& getJoinPassword() const { return joinPassword; }

  // Who is in the session, the host first: names, and for the host also
  // each client's address. Empty without a session, and on a client whose
  // host does not tell.
  struct ListedPlayer {
    unsigned int id;
    std::string name;
    std::string address;
    bool host;
    bool you;
  };
  std::vector<ListedPlayer> listPlayers() const;

  // A joined client whose host has locked the canvas: nothing painted is
  // taken meanwhile (the host itself always paints).
  bool canvasLocked() const;
  // The host's moderation (false with the reason in the answer when not
  // hosting or the player is not there); the answer says what was done.
  bool kickPlayer(unsigned int id, std::string& answer);
  bool banPlayer(unsigned int id, std::string& answer);
  // Undoes what the player painted in the last minutes (the host only).
  bool rollbackPlayer(unsigned int id, unsigned int minutes, std::string& answer);

  // The session port, 5050 unless a test or tool chooses another (0 lets
  // the host's system choose; see getListenPort()).
  void setSessionPort(unsigned short port) { sessionPort = port; }
  unsigned short getSessionPort() const { return sessionPort; }
  // The port the host listens on, 0 when not hosting.
  unsigned short getListenPort() const;
  int getSessionMode() const { return sessionMode; }
  // For tests and tools; null outside the matching session.
  KivServer* getServer() const { return serverHandler; }
  KivClient* getClient() const { return clientHandler; }
  const Reconnector& getReconnector() const { return *reconnector; }

  static int getNumInstances() { return -1; }

 private:
  bool clientHealthy();
  void askUndo(bool redo);
  bool keepReconnecting();
  // A new, unconnected client for the next attempt, continuing the canvas.
  void replaceClient();
  std::string clientFailure() const;

  DrawingProtocol* drawingProtocol;
  ChatProtocol* chatProtocol;
  KivClient* clientHandler;
  KivServer* serverHandler;
  libkorvet::DEngine* engine;
  std::string hostIP;
  std::string playerName;
  std::string gameName;
  std::string hostPassword;
  std::string joinPassword;
  std::string errMsg;
  int sessionMode;
  unsigned short sessionPort;
  Reconnector* reconnector;
  // The joined client's canvas, lent by joinExistingGame.
  WorldMap* clientMap;
  // The client joined the host once: losing it from then on is retried.
  bool everJoined;
  bool reconnectEnded;
  bool undoRefusalShown = false;
};

#endif  // SESSION_NETSYSTEM_H
