#ifndef TESTS_NETENGINE_NETTESTSUPPORT_H
#define TESTS_NETENGINE_NETTESTSUPPORT_H

// Loopback test helpers: drive engines until a condition holds (never
// sleeping), a connection that records its reports, and a listener that
// wraps every accepted socket in one.

#include <memory>
#include <string>
#include <vector>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "EnginePump.h"

namespace nettest {

using namespace libkorvet;
using namespace testnet;

// Steps one engine a completion at a time until `count` handlers have run.
inline bool runHandlers(DEngine& e, int count) {
  int ran = 0;
  return pump({}, [&] { return (ran += std::max(0, e.update(1))) >= count; });
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

}  // namespace nettest

#endif  // TESTS_NETENGINE_NETTESTSUPPORT_H
