#ifndef TESTS_SYNC_SYNCTESTNET_H
#define TESTS_SYNC_SYNCTESTNET_H

// Loopback plumbing for the sync protocol tests: a listener on 127.0.0.1 with
// a system-chosen port whose accepted connections are handed to a callback at
// once (before any of their messages can be routed), and raw peers that
// capture the sync bodies they receive and send hand-made ones.

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "EnginePump.h"

namespace synctest {

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;
using namespace testnet;

inline unsigned int u16(const DBuffer& b, long at) {
  unsigned short v = 0;
  b.extractVariable<unsigned short>(at, v);
  return v;
}

inline unsigned int u32(const DBuffer& b, long at) {
  unsigned int v = 0;
  b.extractVariable<unsigned int>(at, v);
  return v;
}

// Error texts a sync object reported through its callback.
struct Errors {
  std::vector<std::string> texts;
  std::function<void(std::string)> callback() {
    return [this](std::string t) { texts.push_back(t); };
  }
  bool has(const std::string& t) const { return std::count(texts.begin(), texts.end(), t) > 0; }
  int count(const std::string& t) const { return static_cast<int>(std::count(texts.begin(), texts.end(), t)); }
  bool hasPrefix(const std::string& p) const {
    for (const auto& t : texts)
      if (t.compare(0, p.size(), p) == 0) return true;
    return false;
  }
};

class Listener : public libkorvet::DServer {
 public:
  explicit Listener(DEngine* e) : DServer(e), engine(e) {
    EXPECT_TRUE(bind(libkorvet::ipV4, 0)) << getErrMsg();
    EXPECT_TRUE(startListening()) << getErrMsg();
  }
  void connectHandler(Socket* socket) override {
    accepted.emplace_back(new DDispatcher(engine, socket));
    // Small messages leave at once: the manual clock must not outrun them.
    accepted.back()->setDelay(false);
    if (onAccept) onAccept(accepted.back().get());
  }
  void errorHandler(std::string text) override { ADD_FAILURE() << "accept failed: " << text; }

  std::function<void(DDispatcher*)> onAccept;
  std::vector<std::unique_ptr<DDispatcher>> accepted;

 private:
  DEngine* engine;
};

// Connects a new dispatcher to the listener; true once both ends exist.
inline std::unique_ptr<DDispatcher> connectTo(DEngine& e, Listener& l, std::vector<DEngine*> engines = {}) {
  if (engines.empty()) engines.push_back(&e);
  size_t before = l.accepted.size();
  std::unique_ptr<DDispatcher> d(new DDispatcher(&e));
  d->startConnect("127.0.0.1", l.getLocalPort());
  DDispatcher* raw = d.get();
  EXPECT_TRUE(pump(engines, [&] { return raw->isConnected() && l.accepted.size() > before; }));
  raw->setDelay(false);
  return d;
}

// One end of a connection driven by the test: captures every sync body
// (type 128, sub-type 0) and ignores type-0 traffic.
class RawPeer {
 public:
  explicit RawPeer(DDispatcher* c) : conn(c) {
    conn->addHandler(128, 0, [this](DBuffer& b) { received.push_back(b); });
    conn->addHandler(0, [](DBuffer&) {});
  }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  void send(const DBuffer& body) { conn->sendMessage(128, 0, body); }
  // Bodies received of one kind.
  std::vector<DBuffer> ofKind(unsigned char kind) const {
    std::vector<DBuffer> out;
    for (const auto& b : received)
      if (b.size() > 0 && b.getByte(0) == kind) out.push_back(b);
    return out;
  }

  DDispatcher* conn;
  std::vector<DBuffer> received;
};

}  // namespace synctest

#endif  // TESTS_SYNC_SYNCTESTNET_H
