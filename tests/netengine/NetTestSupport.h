#ifndef TESTS_NETENGINE_NETTESTSUPPORT_H
#define TESTS_NETENGINE_NETTESTSUPPORT_H

// Helpers for the loopback tests of the connection classes: drive an engine
// until a condition holds (never sleeping), a recording dispatcher, and a
// listener that wraps every accepted socket in one.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"

namespace nettest {

using namespace libkorvet;

// Updates the engines until done() holds; false after the deadline.
template <typename Done>
bool pumpUntil(std::vector<DEngine*> engines, Done done, int deadlineMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    for (DEngine* e : engines) e->update(100);
  }
  return true;
}

// Steps one engine one completion at a time until `count` handlers have run.
inline bool runHandlers(DEngine& e, int count, int deadlineMs = 5000) {
  int ran = 0;
  return pumpUntil({}, [&] {
    int r = e.update(1);
    if (r > 0) ran += r;
    return ran >= count;
  }, deadlineMs);
}

inline DBuffer bytesOf(const std::string& s) {
  DBuffer b;
  b.appendString(s);
  return b;
}

// Records everything the connection reports.
class Peer : public DDispatcher {
 public:
  using DDispatcher::DDispatcher;
  void connectHandler(std::string text, NetworkCode code) override {
    connectTexts.push_back(text);
    codes.push_back(code);
  }
  void sendHandler() override { ++sendDone; }
  void errorHandler(std::string text) override { errors.push_back(text); }
  void corruptHandler(std::string text) override { corrupt.push_back(text); }

  std::vector<std::string> connectTexts;
  std::vector<int> codes;
  std::vector<std::string> errors;
  std::vector<std::string> corrupt;
  int sendDone = 0;
};

// A raw connection that only collects what it receives.
class RawPeer : public Peer {
 public:
  using Peer::Peer;
  void receiveHandler(DBuffer& data) override { received += data.toString(); }
  std::string received;
};

// Wraps every accepted socket in a RawPeer (or lets a test take the socket).
class Listener : public DServer {
 public:
  explicit Listener(DEngine* e) : DServer(e), engine(e) {}
  void connectHandler(Socket* socket) override {
    if (keepRaw) {
      sockets.emplace_back(socket);
    } else {
      peers.emplace_back(new RawPeer(engine, socket));
    }
  }
  void errorHandler(std::string text) override { errors.push_back(text); }
  bool listenOnLoopbackPort() { return bind(ipV4, 0) && startListening(); }

  DEngine* engine;
  bool keepRaw = false;
  std::vector<std::unique_ptr<RawPeer>> peers;
  std::vector<std::unique_ptr<Socket>> sockets;
  std::vector<std::string> errors;
};

// A loopback port where nothing listens (bound, read, released).
inline unsigned short unusedPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
  return a.local_endpoint().port();
}

}  // namespace nettest

#endif  // TESTS_NETENGINE_NETTESTSUPPORT_H
