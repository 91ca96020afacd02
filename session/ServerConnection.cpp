// ServerConnection: one client connection of the session server.

#include "ServerConnection.h"

#include "KivServer.h"
#include "KivSettings.h"

namespace {
const int STATUS_COLOR = 80;
}  // namespace

ServerConnection::ServerConnection(libkorvet::DEngine* engine, Socket* socket, KivServer* owner)
    : DDispatcher(engine, socket), server(owner) {}

ServerConnection::~ServerConnection() {}

void ServerConnection::errorHandler(std::string text) {
  // The server only queues this connection for deletion: the connection is
  // still inside its own error report here.
  server->disconnectHandler(text, this);
}

void ServerConnection::corruptHandler(std::string text) {
  // The dispatcher resynchronises on the next frame, so the client may stay.
  KivSettings::addChatMessage("ServerConnection", text, STATUS_COLOR);
}
