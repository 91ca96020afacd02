#ifndef SESSION_SERVERCONNECTION_H
#define SESSION_SERVERCONNECTION_H

// ServerConnection: the host's end of one client connection, a framed
// message dispatcher on an accepted socket. It reports a failed connection to
// its KivServer (which deletes it on the next session tick) and framing
// problems as status lines. Owned by the KivServer that accepted it.

#include <string>

#include "DDispatcher.h"

class KivServer;

class ServerConnection : public libkorvet::DDispatcher {
 public:
  // Requires: socket belongs to engine's I/O service; server outlives this.
  ServerConnection(libkorvet::DEngine* engine, Socket* socket, KivServer* server);
  ~ServerConnection() override;

  void errorHandler(std::string text) override;
  void corruptHandler(std::string text) override;

  static int getNumInstances() { return -1; }

 private:
  KivServer* server;
};

#endif  // SESSION_SERVERCONNECTION_H
