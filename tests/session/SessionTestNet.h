#ifndef TESTS_SESSION_SESSIONTESTNET_H
#define TESTS_SESSION_SESSIONTESTNET_H

// Loopback plumbing for the session tests: raw peers that connect to a
// session server (or stand in for a host), record what they receive and send
// hand-made bodies; an engine pump with a real-time deadline that can move
// the manual clock; and a sync peer that joins with the canvas's layout.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KivSettings.h"
#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DServer.h"
#include "DTime.h"
#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncDataMap.h"

// Last: its macros collide with the headers above.
#include <allegro.h>

namespace sessiontest {

using libkorvet::DBuffer;
using libkorvet::DDispatcher;
using libkorvet::DEngine;
typedef std::vector<unsigned char> Bytes;

// Memory bitmaps at 24 bits; palette entry 5 is (40, 80, 120) in 8-bit terms.
inline void setUpCanvas() {
  static bool done = false;
  if (!done) install_allegro(SYSTEM_NONE, &errno, atexit);
  done = true;
  set_color_depth(24);
  RGB entry = {10, 20, 30, 0};
  set_color(5, &entry);
}

inline Bytes bytesOf(const DBuffer& b) {
  Bytes out;
  for (unsigned int i = 0; i < b.size(); ++i) out.push_back(b.getByte(i));
  return out;
}

struct StatusLine {
  std::string owner, text;
  int color;
};

inline std::vector<StatusLine> drainChat() {
  std::vector<StatusLine> lines;
  StatusLine line;
  while (KivSettings::getChatMessage(line.owner, line.text, line.color)) lines.push_back(line);
  return lines;
}

// Steps the engine until cond holds (true) or realMs of real time passed.
// With stepMs > 0 the manual clock moves that much per step.
inline bool pump(DEngine& engine, const std::function<bool()>& cond, int realMs = 10000, unsigned int stepMs = 0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (stepMs > 0) libkorvet::DTime::advanceManualClock(stepMs);
    engine.update(-1);
  }
  return true;
}

inline DBuffer text(const std::string& s) {
  DBuffer b;
  b.appendString(s);
  return b;
}

// As pump, but the manual clock moves stepMs only once per real millisecond,
// so the session timers run up to stepMs times faster than real time while
// the network keeps its real pace: a send held back by the system for tens of
// real milliseconds (the small-write delay) must not look like 30 seconds.
inline bool pumpPaced(DEngine& engine, const std::function<bool()>& cond, int realMs, unsigned int stepMs) {
  auto now = std::chrono::steady_clock::now();
  auto deadline = now + std::chrono::milliseconds(realMs);
  auto nextStep = now;
  while (!cond()) {
    now = std::chrono::steady_clock::now();
    if (now > deadline) return false;
    if (now >= nextStep) {
      libkorvet::DTime::advanceManualClock(stepMs);
      nextStep = now + std::chrono::milliseconds(1);
    }
    engine.update(-1);
  }
  return true;
}

// One connection to a session, recording type-0 bodies, sync bodies and its end.
class RawPeer : public DDispatcher {
 public:
  explicit RawPeer(DEngine* e) : DDispatcher(e), closed(false), failed(false) { listen(); }
  RawPeer(DEngine* e, Socket* accepted) : DDispatcher(e, accepted), closed(false), failed(false) { listen(); }

  void connectTo(unsigned short port) { startConnect("127.0.0.1", port); }
  void connectHandler(std::string, libkorvet::NetworkCode code) override { failed = code != libkorvet::connectOk; }
  void errorHandler(std::string text) override {
    closed = true;
    closeText = text;
  }
  void corruptHandler(std::string text) override { corrupt.push_back(text); }

  std::vector<Bytes> bodies;
  std::vector<Bytes> syncBodies;
  std::vector<std::string> corrupt;
  std::string closeText;
  bool closed;
  bool failed;

 private:
  void listen() {
    addHandler(0, [this](DBuffer& b) { bodies.push_back(bytesOf(b)); });
  }
};

// Accepts connections as raw peers (a stand-in host for the client tests).
class RawHost : public libkorvet::DServer {
 public:
  explicit RawHost(DEngine* e) : DServer(e), engine(e) {
    EXPECT_TRUE(bind(libkorvet::ipV4, 0)) << getErrMsg();
    EXPECT_TRUE(startListening()) << getErrMsg();
  }
  void connectHandler(Socket* socket) override {
    peers.emplace_back(new RawPeer(engine, socket));
    RawPeer* peer = peers.back().get();
    peer->addHandler(128, 0, [peer](DBuffer& b) { peer->syncBodies.push_back(bytesOf(b)); });
  }
  void errorHandler(std::string text) override { ADD_FAILURE() << "accept failed: " << text; }

  std::vector<std::unique_ptr<RawPeer>> peers;

 private:
  DEngine* engine;
};

// A client of the sync layer with the canvas's byte layout (three planes of
// 10000 bytes per 100 x 100 block, allocated one byte at a time), without a
// canvas of its own: a process has only one.
struct SyncPeer {
  SyncPeer(DEngine* e, unsigned short port, int width, int height) : connection(new RawPeer(e)) {
    connection->connectTo(port);
    blocks = ((width + 99) / 100) * ((height + 99) / 100);
    engine = e;
  }
  // Call once connected: configures the sync client as the session client does and joins.
  bool join() {
    client.reset(new libksync::SyncClient(connection.get(), engine, 0, [this](std::string t) {
      errors.push_back(t);
    }));
    client->setQueryBandwidth(128);
    if (!client->setSegmentSize(30000, 3)) return false;
    bytes.reset(new libksync::SyncArray<unsigned char>(*client, static_cast<unsigned int>(blocks) * 30000u));
    if (!client->setQueryPeriod(500)) return false;
    return client->initialize();
  }
  bool equals(libksync::SyncDataMap* host) {
    if (!client || client->getState() != libksync::SyncClient::SYNCHRONIZING) return false;
    libksync::SyncDataMap* ours = client->retrieveDataMap();
    if (ours->getNumSegments() != host->getNumSegments()) return false;
    for (unsigned short s = 0; s < host->getNumSegments(); ++s)
      if (ours->getCRC(s) != host->getCRC(s)) return false;
    return true;
  }

  std::unique_ptr<RawPeer> connection;
  std::unique_ptr<libksync::SyncClient> client;
  std::unique_ptr<libksync::SyncArray<unsigned char>> bytes;
  std::vector<std::string> errors;
  DEngine* engine;
  int blocks;
};

inline bool hasLine(const std::vector<StatusLine>& lines, const std::string& owner, const std::string& text,
                    int color = 80) {
  for (const StatusLine& l : lines)
    if (l.owner == owner && l.text == text && l.color == color) return true;
  return false;
}

inline bool hasOwner(const std::vector<StatusLine>& lines, const std::string& owner) {
  for (const StatusLine& l : lines)
    if (l.owner == owner && l.color == 80) return true;
  return false;
}

}  // namespace sessiontest

#endif  // TESTS_SESSION_SESSIONTESTNET_H
