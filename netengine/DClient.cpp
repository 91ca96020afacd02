#include "DClient.h"

#include <algorithm>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include "DBuffer.h"
#include "DEngine.h"

namespace libkorvet {

namespace asio = boost::asio;
using boost::asio::ip::tcp;
using boost::system::error_code;

const unsigned int DClient::DEFAULT_BUFFER_SIZE;
const unsigned int DClient::MIN_BUFFER_SIZE;

// Everything an outstanding operation may touch. Each completion handler
// holds a shared_ptr to this block, so the socket, the receive area and the
// send queue under an in-flight write outlive the DClient when it is deleted
// first; the handler then finds owner null and does nothing.
struct DClient::IoState {
  IoState(asio::io_context& io, Socket* s, unsigned int size)
      : owner(nullptr),
        alive(true),
        attempt(0),
        receiving(false),
        receivingAttempt(0),
        socket(s ? s : new Socket(io)),
        resolver(io),
        recvArea(size) {}

  DClient* owner;
  bool alive;
  // Bumped by every startConnect, so completions of an earlier attempt that
  // were already queued cannot drive the new one.
  unsigned int attempt;
  // Whether the receive started for connection attempt receivingAttempt is
  // still outstanding.
  bool receiving;
  unsigned int receivingAttempt;
  std::unique_ptr<Socket> socket;
  tcp::resolver resolver;
  std::vector<unsigned char> recvArea;
  DBuffer sendQueue;
  tcp::resolver::results_type endpoints;
  tcp::resolver::results_type::const_iterator nextEndpoint;
};

DClient::DClient(DEngine* e) : engine(e) { init(nullptr, DEFAULT_BUFFER_SIZE); }

DClient::DClient(DEngine* e, unsigned int size) : engine(e) { init(nullptr, size); }

DClient::DClient(DEngine* e, Socket* socket) : engine(e) {
  init(socket, DEFAULT_BUFFER_SIZE);
  checkConnected();
  startReceive();
}

DClient::DClient(DEngine* e, Socket* socket, unsigned int size) : engine(e) {
  init(socket, size);
  checkConnected();
  startReceive();
}

void DClient::init(Socket* socket, unsigned int size) {
  errMsg = "AllOK";
  bufferSize = std::max(size, MIN_BUFFER_SIZE);
  totalSent = 0;
  sending = false;
  receiveHeld = false;
  delayEnabled = true;
  connected = false;
  state = std::make_shared<IoState>(engine->getIoService(), socket, bufferSize);
  state->owner = this;
}

DClient::~DClient() {
  state->owner = nullptr;
  state->alive = false;
  // Cancels whatever is outstanding; the completions run later and only
  // release their hold on the state block.
  error_code ignored;
  state->resolver.cancel();
  state->socket->shutdown(tcp::socket::shutdown_both, ignored);
  state->socket->close(ignored);
}

std::shared_ptr<const bool> DClient::lifeToken() const {
  return std::shared_ptr<const bool>(state, &state->alive);
}

void DClient::send(const DBuffer& data) {
  state->sendQueue.append(data);
  sendBytes();
}

int DClient::unsentBytes() { return static_cast<int>(state->sendQueue.size()); }

void DClient::connectHandler(std::string, NetworkCode) {}
void DClient::sendHandler() {}
void DClient::receiveHandler(DBuffer&) {}
void DClient::errorHandler(std::string) {}
void DClient::delayToggled() {}

// ---------------------------------------------------------------------------
// Connecting

void DClient::startConnect(const std::string& host, unsigned short port) {
  if (state->socket->is_open()) state->socket->close();  // throws "close" on failure
  connected = false;
  receiveHeld = false;
  peerClosed = refused = false;
  unsigned int attempt = ++state->attempt;
  std::shared_ptr<IoState> st = state;
  state->resolver.async_resolve(
      host, DEngine::intToStr(port),
      [st, attempt](const error_code& error, const tcp::resolver::results_type& results) {
        if (st->owner && st->attempt == attempt) st->owner->resolveHandler(error, results, attempt);
      });
}

void DClient::resolveHandler(const error_code& error, const tcp::resolver::results_type& results,
                             unsigned int attempt) {
  if (error || results.empty()) {
    error_code why = error ? error : error_code(asio::error::host_not_found);
    errMsg = "Couldn't resolve hostname: " + why.message();
    connectHandler(errMsg, resolveFailed);
    return;
  }
  state->endpoints = results;
  state->nextEndpoint = state->endpoints.begin();
  connectNext(attempt);
}

void DClient::connectNext(unsigned int attempt) {
  tcp::endpoint target = state->nextEndpoint->endpoint();
  ++state->nextEndpoint;
  std::shared_ptr<IoState> st = state;
  state->socket->async_connect(target, [st, attempt](const error_code& error) {
    if (st->owner && st->attempt == attempt) st->owner->connectFinished(error, attempt);
  });
}

void DClient::connectFinished(const error_code& error, unsigned int attempt) {
  if (error == asio::error::operation_aborted) return;
  if (error) {
    if (state->nextEndpoint != state->endpoints.end()) {
      if (closeSocket()) {
        connectNext(attempt);
      } else {
        connectHandler(errMsg, closeFailed);
      }
      return;
    }
    refused = error == asio::error::connection_refused;
    errMsg = "Couldn't connect: " + error.message();
    connectHandler(errMsg, connectFailed);
    return;
  }
  connected = true;
  // A new socket starts with the system's delay; keep the choice made earlier.
  if (!delayEnabled) {
    error_code ignored;
    state->socket->set_option(tcp::no_delay(true), ignored);
  }
  startReceive();
  if (state->sendQueue.size() > 0) sendBytes();
  connectHandler("Success", connectOk);
}

// ---------------------------------------------------------------------------
// Receiving

void DClient::startReceive() {
  // One receive per connection: a second one would share the receive area.
  // A closed socket has nothing to receive; its loop ends here.
  if (!state->socket->is_open() || receiveHeld) return;
  if (state->receiving && state->receivingAttempt == state->attempt) return;
  state->receiving = true;
  state->receivingAttempt = state->attempt;
  std::shared_ptr<IoState> st = state;
  unsigned int attempt = state->attempt;
  state->socket->async_read_some(asio::buffer(state->recvArea),
                                 [st, attempt](const error_code& error, std::size_t n) {
                                   if (st->receivingAttempt == attempt) st->receiving = false;
                                   // A receive from before a new startConnect belongs to
                                   // the old connection: drop it, never restart it.
                                   if (st->owner && st->attempt == attempt)
                                     st->owner->receiveFinished(error, n);
                                 });
}

void DClient::holdReceive() { receiveHeld = true; }

void DClient::resumeReceive() {
  if (!receiveHeld) return;
  receiveHeld = false;
  if (connected) startReceive();
}

void DClient::receiveFinished(const error_code& error, std::size_t n) {
  if (error) {
    if (error != asio::error::operation_aborted) reportError(error);
    return;
  }
  std::shared_ptr<const bool> alive = lifeToken();
  unsigned int attempt = state->attempt;
  if (n > 0) {
    DBuffer data;
    data.appendArray(state->recvArea.data(), static_cast<long>(n));
    receiveHandler(data);
    if (!*alive) return;
  } else if (state->socket->is_open()) {
    connected = false;
    peerClosed = true;
    errMsg = "Received zero bytes.";
    errorHandler(errMsg);
    if (!*alive) return;
    closeSocket();
  }
  // A handler that started a new connection leaves the receiving to it.
  if (state->attempt == attempt) startReceive();
}

// ---------------------------------------------------------------------------
// Sending

void DClient::sendBytes() {
  if (sending) return;
  unsigned int k = std::min(state->sendQueue.size(), bufferSize);
  if (k == 0) {
    sendHandler();
    return;
  }
  // Bytes queued before the connection is up wait for it (connectFinished
  // starts them); a write on a socket being connected would only fail.
  if (!connected) return;
  sending = true;
  std::shared_ptr<IoState> st = state;
  unsigned int attempt = state->attempt;
  state->socket->async_write_some(state->sendQueue.getSendBuffers(k),
                                  [st, attempt](const error_code& error, std::size_t n) {
                                    if (st->owner) st->owner->sendFinished(error, n, attempt);
                                  });
}

void DClient::sendFinished(const error_code& error, std::size_t n, unsigned int attempt) {
  if (!sending) DEngine::fatalError("DClient::sendFinished(): called, but we're not sending!");
  if (n > 0) state->sendQueue.removeFirst(static_cast<long>(n));
  totalSent += n;
  sending = false;
  // A write of the connection a new startConnect replaced says nothing
  // about the new one.
  if (attempt != state->attempt) {
    if (connected && state->sendQueue.size() > 0) sendBytes();
    return;
  }
  if (error) {
    // The error's own text says more than "Sent zero bytes" would.
    if (error != asio::error::operation_aborted) reportError(error);
    return;
  }
  if (n == 0 && state->socket->is_open()) {
    connected = false;
    errMsg = "Sent zero bytes";
    std::shared_ptr<const bool> alive = lifeToken();
    errorHandler(errMsg);
    if (*alive) closeSocket();
    return;
  }
  sendBytes();
}

// ---------------------------------------------------------------------------
// Errors, closing, options

std::string DClient::conditionText(const error_code& error) {
  boost::system::error_condition cond = error.default_error_condition();
  return cond.message() + ": " + DEngine::intToStr(cond.value());
}

void DClient::reportError(const error_code& error) {
  connected = false;
  if (!state->socket->is_open()) return;
  peerClosed = error == asio::error::eof;
  errMsg = conditionText(error);
  std::shared_ptr<const bool> alive = lifeToken();
  errorHandler(errMsg);
  if (*alive) closeSocket();
}

bool DClient::closeSocket() {
  connected = false;
  Socket& socket = *state->socket;
  if (!socket.is_open()) return true;
  error_code error;
  socket.shutdown(tcp::socket::shutdown_both, error);
  if (error && error != asio::error::not_connected) {
    errMsg = "Couldn't shutdown socket: " + error.message();
    return false;
  }
  socket.close(error);
  if (error) {
    errMsg = "Couldn't close socket: " + error.message();
    return false;
  }
  return true;
}

void DClient::checkConnected() {
  error_code error;
  connected = state->socket->is_open();
  if (connected) {
    state->socket->remote_endpoint(error);
    if (error) connected = false;
  }
}

bool DClient::isConnected() const { return connected; }

bool DClient::setDelay(bool delay) {
  error_code error;
  state->socket->set_option(tcp::no_delay(!delay), error);
  bool ok = !error;
  if (ok) {
    delayEnabled = delay;
  } else {
    errMsg = "Couldn't set option: " + error.message();
  }
  delayToggled();
  return ok;
}

bool DClient::getDelayEnabled() const { return delayEnabled; }

std::string DClient::getLocalAddress() {
  error_code error;
  tcp::endpoint local = state->socket->local_endpoint(error);
  if (error) {
    errMsg = conditionText(error);
    return "";
  }
  return local.address().to_string();
}

std::string DClient::getRemoteAddress() {
  if (!state->socket->is_open()) return "";
  error_code error;
  tcp::endpoint remote = state->socket->remote_endpoint(error);
  if (error) {
    errMsg = conditionText(error);
    return "";
  }
  return remote.address().to_string();
}

unsigned int DClient::getBufferSize() const { return bufferSize; }

std::string DClient::getErrMsg() const { return errMsg; }

}  // namespace libkorvet
