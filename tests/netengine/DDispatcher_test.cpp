#include "DDispatcher.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FatalTest.h"
#include "NetTestSupport.h"

using namespace libkorvet;
using nettest::bytesOf;
typedef std::vector<std::string> Texts;

namespace {

// Captures frames instead of writing them, and records what arrives as
// "<type>:<body>" (type 5 stands for type 128, sub-type 5).
class Capture : public DDispatcher {
 public:
  using DDispatcher::DDispatcher;
  void send(const DBuffer& frame) override { sent += frame.toString(); }
  void corruptHandler(std::string text) override { corrupt.push_back(text); }
  void feed(const std::string& bytes) {
    DBuffer chunk = bytesOf(bytes);
    receiveHandler(chunk);
  }
  void logTypes() {
    for (int t : {0, 2}) addHandler(t, [this, t](DBuffer& b) { log.push_back(std::to_string(t) + ":" + b.toString()); });
    addHandler(128, 5, [this](DBuffer& b) { log.push_back("5:" + b.toString()); });
  }
  std::string sent;
  Texts corrupt, log;
};

// The frames a sender produces for (type, body) pairs; type 5 is sent as
// type 128, sub-type 5.
std::string framesOf(const std::vector<std::pair<int, std::string>>& messages, DEngine* e) {
  Capture sender(e);
  for (const auto& m : messages) {
    if (m.first == 5)
      sender.sendMessage(128, 5, bytesOf(m.second));
    else
      sender.sendMessage(static_cast<unsigned char>(m.first), bytesOf(m.second));
  }
  return sender.sent;
}

}  // namespace

TEST(DDispatcher, FramesHaveTheWireLayoutAndSizeLimits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DEngine engine;
  Capture d(&engine);
  d.sendMessage(0, bytesOf(std::string("\x01\x02\x03", 3)));
  EXPECT_EQ(d.sent, std::string("\xA6\x09\x39\x00\x02\x00\x01\x02\x03", 9));
  d.sent.clear();
  d.sendMessage(128, 5, bytesOf("\xFF"));
  EXPECT_EQ(d.sent, std::string("\xA6\x09\x39\x00\x00\x80\x00\x05\xFF", 9));
  d.sent.clear();
  d.sendMessage(1, bytesOf(std::string(65536, 'x')));
  EXPECT_EQ(d.sent.substr(0, 6), "\xA6\x09\x39\xFF\xFF\x01");
  EXPECT_EQ(d.sent.size(), 65536u + 6);
  DBuffer tooLarge = bytesOf(std::string(65537, 'x'));
  EXPECT_FATAL(d.sendMessage(1, tooLarge), "^DDispatcher::appendHeader\\(\\): max message size is 64 KB\n$");
}

TEST(DDispatcher, ConflictingRegistrationsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DEngine engine;
  auto none = [](DBuffer&) {};
  Capture generic(&engine), typed(&engine);
  generic.addHandler(none);
  const char* allTypes = ", but we already have a handler for all types of messages\\.\n$";
  EXPECT_FATAL(generic.addHandler(0, none), std::string("^Tried to add a handler for message type 0") + allTypes);
  typed.addHandler(0, none);
  typed.addHandler(128, 1, none);
  EXPECT_FATAL(typed.addHandler(128, none),
               "^Tried to add a handler for message type 128 without giving a subtype, but there are handlers "
               "for subtypes defined\n$");
}

TEST(DDispatcher, StreamSplitAnywhereIsDeliveredOnceAndInOrder) {
  DEngine engine;
  const std::string odd("\0\xA6\x09\x39", 4);  // marker bytes inside a body are just data
  const std::string stream =
      framesOf({{0, "a"}, {5, "sync"}, {0, std::string(700, 'q')}, {2, odd}, {0, "end"}}, &engine);
  const Texts expected = {"0:a", "5:sync", "0:" + std::string(700, 'q'), "2:" + odd, "0:end"};
  // Three chunks around every cut point.
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Capture r(&engine);
    r.logTypes();
    std::size_t second = std::min(stream.size(), cut + 3);
    r.feed(stream.substr(0, cut));
    r.feed(stream.substr(cut, second - cut));
    r.feed(stream.substr(second));
    ASSERT_EQ(r.log, expected) << "cut at " << cut;
    ASSERT_TRUE(r.corrupt.empty());
  }

  // The largest body across random chunks, to a generic receiver.
  std::string big(65536, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  Capture sender(&engine);
  sender.sendMessage(bytesOf(big));
  sender.sendMessage(bytesOf("x"));
  Capture generic(&engine);
  generic.addHandler([&generic](DBuffer& b) { generic.log.push_back(b.toString()); });
  std::mt19937 rng(7);
  for (std::size_t at = 0, n; at < sender.sent.size(); at += n) {
    n = std::min<std::size_t>(sender.sent.size() - at, 1 + rng() % 9000);
    generic.feed(sender.sent.substr(at, n));
  }
  EXPECT_TRUE(generic.log == (Texts{big, "x"}));
}

TEST(DDispatcher, CorruptionIsReportedOnceAndTheStreamResynchronises) {
  DEngine engine;
  Capture r(&engine);
  r.logTypes();
  const std::string good = framesOf({{0, "ok"}}, &engine);
  r.feed("\x01\x02\x03" + good);
  r.feed(std::string("\xA6\x10", 2) + good);  // a marker broken after its first byte
  EXPECT_EQ(r.corrupt, (Texts{"Expected header byte 166, got 1", "Expected header byte 9, got 16"}));
  EXPECT_EQ(r.log, (Texts{"0:ok", "0:ok"}));

  // Unknown type, and unknown sub-type of a type with sub-types: the body
  // then passes as out-of-step bytes (one more report); later frames arrive.
  r.corrupt.clear();
  r.log.clear();
  Capture other(&engine);
  other.sendMessage(7, bytesOf("zz"));
  std::string type7 = other.sent;
  other.sent.clear();
  other.sendMessage(128, 9, bytesOf("yy"));
  r.feed(type7 + good + other.sent + good);
  EXPECT_EQ(r.corrupt, (Texts{"No handler set for message type 7", "Expected header byte 166, got 122",
                              "No handler set for message type 128 sub-type 9", "Expected header byte 166, got 121"}));
  EXPECT_EQ(r.log, (Texts{"0:ok", "0:ok"}));
}

TEST(DDispatcher, LongRunsWithoutAMarkerAreReportedPer64KB) {
  DEngine engine;
  for (long total : {131083L, 131082L}) {
    for (long chunk : {1000L, 65541L, 200000L}) {
      Capture r(&engine);
      r.feed("x");  // out of step from here on
      r.corrupt.clear();
      for (long done = 0; done < total; done += chunk) r.feed(std::string(std::min(chunk, total - done), '\0'));
      Texts expected(total == 131083L ? 2 : 1, "Received 64 KB of data without finding a valid message.");
      EXPECT_EQ(r.corrupt, expected) << total << " in chunks of " << chunk;
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
    for (std::size_t i = 0, length = rng() % 3000; i < length; ++i)
      junk += static_cast<char>(rng() % 3 ? alphabet[rng() % 8] : rng() % 256);
    for (std::size_t at = 0, n; at < junk.size(); at += n) {
      n = std::min<std::size_t>(junk.size() - at, rng() % 40);
      r.feed(junk.substr(at, n));
    }
    ASSERT_TRUE(sane);
    // Whatever state the junk left, a frame after the largest possible body gets through.
    r.feed(std::string(70000, '\0') + (round % 2 ? std::string("\xA6\x09\x39\x00\x00!", 6) : framesOf({{0, "!"}}, &engine)));
    EXPECT_EQ(last, "!") << "round " << round;
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
  d->feed(framesOf({{0, "first"}, {0, "second"}}, &engine));  // the walk must stop there
  EXPECT_EQ(calls, 1);
}

TEST(DDispatcher, DelayOffBatchesFramesUntilTheNextStepAndKeepsOrder) {
  DEngine engine;
  nettest::Listener server(&engine);
  ASSERT_TRUE(server.listenOnLoopbackPort());
  nettest::Peer client(&engine);
  client.startConnect("127.0.0.1", server.getLocalPort());
  ASSERT_TRUE(nettest::pump({&engine}, [&] { return !client.codes.empty() && !server.peers.empty(); }));
  ASSERT_TRUE(client.setDelay(false));
  client.sendMessage(bytesOf("1"));
  client.sendMessage(bytesOf("22"));
  EXPECT_EQ(client.unsentBytes(), 6 + 7);  // both frames wait for the flush
  EXPECT_TRUE(client.flush());
  EXPECT_FALSE(client.flush());
  client.sendMessage(bytesOf("3"));
  // Turning the delay back on sends what was batched before anything newer.
  ASSERT_TRUE(client.setDelay(true));
  client.sendMessage(bytesOf("4"));
  // With the delay off again, a frame leaves through the flush event.
  client.setDelay(false);
  client.sendMessage(bytesOf("5"));
  std::string& got = server.peers[0]->received;
  ASSERT_TRUE(nettest::pump({&engine}, [&] { return got.size() >= 31; }));
  EXPECT_EQ(got, std::string("\xA6\x09\x39\x00\x00" "1" "\xA6\x09\x39\x00\x01" "22" "\xA6\x09\x39\x00\x00" "3"
                             "\xA6\x09\x39\x00\x00" "4" "\xA6\x09\x39\x00\x00" "5", 31));
  EXPECT_EQ(client.unsentBytes(), 0);
}

// A connection sees every whole message, with its type, before the handler
// and may drop it; the stream goes on.
TEST(DDispatcher, AdmissionSeesEachMessageFirstAndMayDropIt) {
  struct Gate : Capture {
    using Capture::Capture;
    bool admitMessage(unsigned char type, const DBuffer& body) override {
      seen.push_back(std::to_string(type) + ":" + body.toString());
      return body.toString() != "no";
    }
    Texts seen;
  };
  DEngine engine;
  Gate d(&engine);
  d.logTypes();
  d.feed(framesOf({{0, "no"}, {2, "yes"}, {5, "no"}, {5, "ok"}}, &engine));
  EXPECT_EQ(d.seen, (Texts{"0:no", "2:yes", "128:no", "128:ok"}));
  EXPECT_EQ(d.log, (Texts{"2:yes", "5:ok"}));
}
