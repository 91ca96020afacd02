#ifndef TESTS_NETENGINE_NETTESTSUPPORT_H
#define TESTS_NETENGINE_NETTESTSUPPORT_H

// Loopback test helpers: drive engines until a condition holds (never
// sleeping), a connection that records its reports, and a listener that
// wraps every accepted socket in one.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

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

// Steps one engine a completion at a time until `count` handlers have run.
inline bool runHandlers(DEngine& e, int count) {
  int ran = 0;
  return pumpUntil({}, [&] { return (ran += std::max(0, e.update(1))) >= count; });
}

inline DBuffer bytesOf(const std::string& s) {
  DBuffer b;
  b.appendString(s);
  return b;
}

class Peer : public DDispatcher {
 public:
  using DDispatcher::DDispatcher;
  void connectHandler(std::string text, NetworkCode code) override {
    connectTexts.push_back(text);
    codes.push_back(code);
  }
  void sendHandler() override { ++sendDone; }
  void errorHandler(std::string text) override { errors.push_back(text); }
  std::vector<std::string> connectTexts, errors;
  std::vector<int> codes;
  int sendDone = 0;
};

// Collects the raw bytes it receives.
class RawPeer : public Peer {
 public:
  using Peer::Peer;
  void receiveHandler(DBuffer& data) override { received += data.toString(); }
  std::string received;
};

class Listener : public DServer {
 public:
  explicit Listener(DEngine* e) : DServer(e), engine(e) {}
  void connectHandler(Socket* socket) override {
    if (keepRaw)  // never read from
      sockets.emplace_back(socket);
    else
      peers.emplace_back(new RawPeer(engine, socket));
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
