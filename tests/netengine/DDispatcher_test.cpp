#include "DDispatcher.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DEngine.h"
#include "DEventMap.h"
#include "FatalTest.h"
#include "NetTestSupport.h"

using namespace libkorvet;
using nettest::bytesOf;

namespace {

// Captures frames instead of writing them, and records what arrives.
class Capture : public DDispatcher {
 public:
  using DDispatcher::DDispatcher;
  void send(const DBuffer& frame) override { sent.push_back(frame.toString()); }
  void corruptHandler(std::string text) override { corrupt.push_back(text); }
  void feed(const std::string& bytes) {
    DBuffer chunk = bytesOf(bytes);
    receiveHandler(chunk);
  }
  // Registers handlers that log "<tag>:<body>".
  void logTo(std::vector<std::string>* log, unsigned char type, const std::string& tag) {
    addHandler(type, [log, tag](DBuffer& b) { log->push_back(tag + ":" + b.toString()); });
  }
  void logTo(std::vector<std::string>* log, unsigned char type, unsigned short sub, const std::string& tag) {
    addHandler(type, sub, [log, tag](DBuffer& b) { log->push_back(tag + ":" + b.toString()); });
  }
  std::vector<std::string> sent;
  std::vector<std::string> corrupt;
};

std::string hex(const std::string& s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Frames as a typed sender produces them, concatenated.
std::string framesOf(const std::vector<std::pair<int, std::string>>& messages, DEngine* e) {
  Capture sender(e);
  for (const auto& m : messages) {
    if (m.first == 128)
      sender.sendMessage(128, 5, bytesOf(m.second));
    else
      sender.sendMessage(static_cast<unsigned char>(m.first), bytesOf(m.second));
  }
  std::string all;
  for (const std::string& f : sender.sent) all += f;
  return all;
}

}  // namespace

TEST(DDispatcher, FramesHaveTheWireLayout) {
  DEngine engine;
  Capture d(&engine);
  d.sendMessage(0, bytesOf(std::string("\x01\x02\x03", 3)));
  d.sendMessage(128, 5, bytesOf("\xFF"));
  d.sendMessage(bytesOf("Z"));
  d.sendMessage(3, DBuffer());  // empty body: nothing at all
  ASSERT_EQ(d.sent.size(), 3u);
  EXPECT_EQ(hex(d.sent[0]), "A6 09 39 00 02 00 01 02 03");
  EXPECT_EQ(hex(d.sent[1]), "A6 09 39 00 00 80 00 05 FF");
  EXPECT_EQ(hex(d.sent[2]), "A6 09 39 00 00 5A");

  DBuffer largest = bytesOf(std::string(65536, 'x'));
  d.sendMessage(1, largest);
  ASSERT_EQ(d.sent.size(), 4u);
  EXPECT_EQ(hex(d.sent[3].substr(0, 6)), "A6 09 39 FF FF 01");
  EXPECT_EQ(d.sent[3].size(), 65536u + 6);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DBuffer tooLarge = bytesOf(std::string(65537, 'x'));
  EXPECT_FATAL(d.sendMessage(1, tooLarge), "^DDispatcher::appendHeader\\(\\): max message size is 64 KB\n$");
}

TEST(DDispatcher, ConflictingRegistrationsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DEngine engine;
  auto none = [](DBuffer&) {};
  {
    Capture d(&engine);
    d.addHandler(none);
    d.addHandler(none);  // registering again replaces
    EXPECT_FATAL(d.addHandler(0, none),
                 "^Tried to add a handler for message type 0, but we already have a handler for all "
                 "types of messages\\.\n$");
    EXPECT_FATAL(d.addHandler(9, 2, none),
                 "^Tried to add a handler for message type 9, but we already have a handler for all "
                 "types of messages\\.\n$");
  }
  {
    Capture d(&engine);
    d.addHandler(0, none);
    d.addHandler(128, 1, none);
    EXPECT_FATAL(d.addHandler(none),
                 "^Tried to add a generic event handler, but we already have handlers for specific "
                 "message types\\.\n$");
    EXPECT_FATAL(d.addHandler(128, none),
                 "^Tried to add a handler for message type 128 without giving a subtype, but there are "
                 "handlers for subtypes defined\n$");
    EXPECT_FATAL(d.addHandler(0, 7, none),
                 "^Tried to add a handler for message type 0, subtype 7, but it already has a handler "
                 "with no subtype\n$");
  }
  DEventMap map(4);
  EXPECT_FALSE(map.getHaveSingle());
  EXPECT_FATAL(map.getSingleHandler(), "^DEventMap::getSingleHandler\\(\\): no single handler defined!\n$");
}

TEST(DDispatcher, StreamSplitAnywhereIsDeliveredOnceAndInOrder) {
  DEngine engine;
  std::vector<std::pair<int, std::string>> messages = {
      {0, "a"}, {128, "sync"}, {0, std::string(700, 'q')}, {2, std::string("\0\xA6\x09\x39", 4)}, {0, "end"}};
  const std::string stream = framesOf(messages, &engine);
  const std::vector<std::string> expected = {"t0:a", "s5:sync", "t0:" + std::string(700, 'q'),
                                             "t2:" + std::string("\0\xA6\x09\x39", 4), "t0:end"};

  auto receiver = [](std::vector<std::string>* log, DEngine* e) {
    std::unique_ptr<Capture> r(new Capture(e));
    r->logTo(log, 0, "t0");
    r->logTo(log, 2, "t2");
    r->logTo(log, 128, 5, "s5");
    return r;
  };
  // Every cut into three chunks around each point, then one byte per chunk.
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    std::vector<std::string> log;
    auto r = receiver(&log, &engine);
    std::size_t second = std::min(stream.size(), cut + 3);
    r->feed(stream.substr(0, cut));
    r->feed(stream.substr(cut, second - cut));
    r->feed(stream.substr(second));
    ASSERT_EQ(log, expected) << "cut at " << cut;
    ASSERT_TRUE(r->corrupt.empty());
  }
  std::vector<std::string> log;
  auto r = receiver(&log, &engine);
  for (char c : stream) r->feed(std::string(1, c));
  EXPECT_EQ(log, expected);

  // A large body across many receive chunks, with a generic receiver.
  Capture sender(&engine);
  std::string big(65536, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  sender.sendMessage(bytesOf(big));
  sender.sendMessage(bytesOf("x"));
  std::string all = sender.sent[0] + sender.sent[1];
  Capture generic(&engine);
  std::vector<std::string> got;
  generic.addHandler([&got](DBuffer& b) { got.push_back(b.toString()); });
  std::mt19937 rng(7);
  for (std::size_t at = 0; at < all.size();) {
    std::size_t n = std::min<std::size_t>(all.size() - at, 1 + rng() % 9000);
    generic.feed(all.substr(at, n));
    at += n;
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0] == big);
  EXPECT_EQ(got[1], "x");
}

TEST(DDispatcher, CorruptionIsReportedOnceAndTheStreamResynchronises) {
  DEngine engine;
  std::vector<std::string> log;
  Capture r(&engine);
  r.logTo(&log, 0, "t0");
  r.logTo(&log, 128, 1, "s1");
  std::string good = framesOf({{0, "ok"}}, &engine);

  r.feed("\x01\x02\x03" + good);
  EXPECT_EQ(r.corrupt, std::vector<std::string>{"Expected header byte 166, got 1"});
  EXPECT_EQ(log, std::vector<std::string>{"t0:ok"});

  // A marker broken after its first byte, then a good frame.
  r.corrupt.clear();
  r.feed(std::string("\xA6\x10", 2) + good);
  EXPECT_EQ(r.corrupt, std::vector<std::string>{"Expected header byte 9, got 16"});

  // Unknown type, and unknown sub-type of a type with sub-types: the body
  // then passes as out-of-step bytes (one more report), later frames arrive.
  r.corrupt.clear();
  log.clear();
  Capture typed(&engine);
  typed.sendMessage(7, bytesOf("zz"));
  typed.sendMessage(128, 9, bytesOf("yy"));
  r.feed(typed.sent[0] + good + typed.sent[1] + good);
  EXPECT_EQ(r.corrupt, (std::vector<std::string>{"No handler set for message type 7",
                                                 "Expected header byte 166, got 122",
                                                 "No handler set for message type 128 sub-type 9",
                                                 "Expected header byte 166, got 121"}));
  EXPECT_EQ(log, (std::vector<std::string>{"t0:ok", "t0:ok"}));
}

TEST(DDispatcher, LongRunsWithoutAMarkerAreReportedPer64KB) {
  DEngine engine;
  for (long total : {131083L, 131082L}) {
    for (std::size_t chunk : {1000u, 65541u, 200000u}) {
      Capture r(&engine);
      r.feed("x");  // out of step from here on
      r.corrupt.clear();
      for (long done = 0; done < total; done += static_cast<long>(chunk))
        r.feed(std::string(std::min<long>(chunk, total - done), '\0'));
      EXPECT_EQ(r.corrupt.size(), total == 131083L ? 2u : 1u) << total << " in chunks of " << chunk;
      for (const std::string& t : r.corrupt) EXPECT_EQ(t, "Received 64 KB of data without finding a valid message.");
    }
  }
}

TEST(DDispatcher, RandomInputNeverBreaksTheReceiver) {
  DEngine engine;
  std::mt19937 rng(12345);
  // Marker bytes are frequent so that deep states and long lengths are hit.
  const unsigned char alphabet[] = {0xA6, 0x09, 0x39, 0x00, 0x80, 0x05, 0xFF, 0x01};
  for (int round = 0; round < 300; ++round) {
    Capture r(&engine);
    std::string last;
    bool sane = true;
    auto check = [&](DBuffer& b) {
      last = b.toString();
      sane = sane && b.size() >= 1 && b.size() <= 65536;
      b.removeFirst(b.size());  // handlers may consume the body
    };
    if (round % 2) {
      r.addHandler(check);
    } else {
      r.addHandler(0, check);
      r.addHandler(128, 5, check);
    }
    std::string junk;
    std::size_t length = rng() % 3000;
    for (std::size_t i = 0; i < length; ++i)
      junk += static_cast<char>(rng() % 3 ? alphabet[rng() % 8] : rng() % 256);
    for (std::size_t at = 0; at < junk.size();) {
      std::size_t n = std::min<std::size_t>(junk.size() - at, rng() % 40);
      r.feed(junk.substr(at, n));
      at += n;
    }
    ASSERT_TRUE(sane);
    // Whatever state the junk left, a long enough run of frames gets through.
    std::string tail = std::string(70000, '\0') + framesOf({{0, "after"}}, &engine);
    if (round % 2) tail = std::string(70000, '\0') + std::string("\xA6\x09\x39\x00\x00!", 6);
    r.feed(tail);
    EXPECT_EQ(last, round % 2 ? "!" : "after") << "round " << round;
  }
}

TEST(DDispatcher, HandlerMayDeleteTheDispatcherMidChunk) {
  DEngine engine;
  Capture* d = new Capture(&engine);
  int calls = 0;
  d->addHandler(0, [&](DBuffer&) {
    ++calls;
    delete d;
  });
  std::string two = framesOf({{0, "first"}, {0, "second"}}, &engine);
  d->feed(two);  // the walk must stop once its dispatcher is gone
  EXPECT_EQ(calls, 1);
}

TEST(DDispatcher, DelayOffBatchesFramesUntilTheNextStepAndKeepsOrder) {
  DEngine engine;
  nettest::Listener server(&engine);
  ASSERT_TRUE(server.listenOnLoopbackPort());
  nettest::Peer client(&engine);
  client.startConnect("127.0.0.1", server.getLocalPort());
  ASSERT_TRUE(nettest::pumpUntil({&engine}, [&] { return !client.codes.empty() && !server.peers.empty(); }));
  ASSERT_EQ(client.codes[0], connectOk);

  ASSERT_TRUE(client.setDelay(false));
  EXPECT_FALSE(client.getDelayEnabled());
  client.sendMessage(bytesOf("1"));
  client.sendMessage(bytesOf("22"));
  EXPECT_EQ(client.unsentBytes(), 6 + 7);  // both frames wait for the flush
  EXPECT_EQ(client.flush() ? 1 : 0, 1);
  EXPECT_FALSE(client.flush());
  client.sendMessage(bytesOf("3"));
  // Turning the delay back on sends what was batched before anything newer.
  ASSERT_TRUE(client.setDelay(true));
  client.sendMessage(bytesOf("4"));
  nettest::RawPeer& peer = *server.peers[0];
  ASSERT_TRUE(nettest::pumpUntil({&engine}, [&] { return peer.received.size() >= 6 + 7 + 6 + 6; }));
  EXPECT_EQ(peer.received, std::string("\xA6\x09\x39\x00\x00" "1" "\xA6\x09\x39\x00\x01" "22"
                                       "\xA6\x09\x39\x00\x00" "3" "\xA6\x09\x39\x00\x00" "4", 25));

  // With the delay off, frames made within one step leave by the flush event.
  client.setDelay(false);
  peer.received.clear();
  client.sendMessage(bytesOf("5"));
  ASSERT_TRUE(nettest::pumpUntil({&engine}, [&] { return peer.received.size() == 6; }));
  EXPECT_EQ(client.unsentBytes(), 0);
}
