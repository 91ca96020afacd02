#include "DServer.h"

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include "DEngine.h"

namespace libkorvet {

namespace asio = boost::asio;
using boost::asio::ip::tcp;
using boost::system::error_code;

// Shared with the outstanding accept, so the acceptor outlives a listener
// deleted first; the completion then finds owner null and does nothing.
struct DServer::IoState {
  explicit IoState(asio::io_context& io) : owner(nullptr), acceptor(io) {}

  DServer* owner;
  tcp::acceptor acceptor;
  // The socket the outstanding accept fills; null when none is outstanding.
  // The accept's handler holds it too, so closing the acceptor can forget it
  // at once and a new accept may start before the aborted one completes.
  std::shared_ptr<Socket> clientSocket;
};

DServer::DServer(DEngine* e)
    : engine(e), listenState(unbound), state(std::make_shared<IoState>(e->getIoService())) {
  state->owner = this;
}

DServer::~DServer() {
  state->owner = nullptr;
  error_code ignored;
  state->acceptor.close(ignored);
}

bool DServer::bind(int version, unsigned short port) {
  if (state->acceptor.is_open()) state->acceptor.close();  // throws "close" on failure
  state->clientSocket.reset();
  listenState = unbound;
  if (version != ipV4 && version != ipV6) {
    errMsg = "Unknown IP version " + DEngine::intToStr(version);
    return false;
  }
  tcp protocol = version == ipV4 ? tcp::v4() : tcp::v6();
  state->acceptor.open(protocol);  // throws on failure
  error_code error;
  state->acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (error) {
    errMsg = "Couldn't enable address reuse: " + error.message();
    return false;
  }
  state->acceptor.bind(tcp::endpoint(protocol, port), error);
  if (error) {
    errMsg = "Couldn't bind the socket: " + error.message();
    return false;
  }
  listenState = bound;
  return true;
}

bool DServer::startListening() {
  if (listenState == unbound) {
    errMsg = "The socket must be bound before startListening is called.";
    return false;
  }
  if (listenState == listening) {
    errMsg = "The socket is already listening.";
    return false;
  }
  error_code error;
  state->acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    errMsg = "Couldn't listen for connections: " + error.message();
    return false;
  }
  listenState = listening;
  getNextConnection();
  return true;
}

void DServer::getNextConnection() {
  if (state->clientSocket) DEngine::fatalError("DServer::startListening(): clientSocket is not NULL!");
  std::shared_ptr<Socket> socket = std::make_shared<Socket>(engine->getIoService());
  state->clientSocket = socket;
  std::shared_ptr<IoState> st = state;
  state->acceptor.async_accept(*socket, [st, socket](const error_code& error) {
    // An accept the listener has since forgotten (closed, rebound, deleted)
    // only lets its socket go.
    if (st->owner && st->clientSocket == socket) st->owner->acceptFinished(error);
  });
}

void DServer::acceptFinished(const error_code& error) {
  if (!error) {
    // Ownership passes before the call, so the slot is free for the next
    // accept whatever the handler does.
    Socket* accepted = new Socket(std::move(*state->clientSocket));
    state->clientSocket.reset();
    std::shared_ptr<IoState> st = state;
    connectHandler(accepted);
    if (st->owner) getNextConnection();
    return;
  }
  state->clientSocket.reset();
  if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor) return;
  boost::system::error_condition cond = error.default_error_condition();
  errMsg = cond.message() + ": " + DEngine::intToStr(cond.value());
  std::shared_ptr<IoState> st = state;
  errorHandler(errMsg);
  if (st->owner) {
    error_code ignored;
    state->acceptor.close(ignored);
  }
}

void DServer::close() {
  state->acceptor.close();  // throws "close" on failure
  state->clientSocket.reset();
}

std::string DServer::getErrMsg() const { return errMsg; }

unsigned short DServer::getLocalPort() const {
  error_code error;
  tcp::endpoint local = state->acceptor.local_endpoint(error);
  return error ? 0 : local.port();
}

}  // namespace libkorvet
