#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ChatProtocol.h"
#include "DBuffer.h"
#include "CanvasTestSupport.h"

using libkorvet::DBuffer;
typedef std::vector<unsigned char> Bytes;

namespace {

Bytes bytesOf(const DBuffer& b) {
  Bytes out;
  for (unsigned int i = 0; i < b.size(); ++i) out.push_back(b.getByte(i));
  return out;
}

DBuffer bufferOf(const Bytes& bytes) {
  DBuffer b;
  for (unsigned char c : bytes) b.appendByte(c);
  return b;
}

// The body as a receiver's handler gets it: without "CHAT".
DBuffer withoutHeader(const DBuffer& message) {
  DBuffer body = message;
  body.removeFirst(4);
  return body;
}

struct Recorder {
  void sendMessage(unsigned char, const DBuffer& body) { bodies.push_back(bytesOf(body)); }
  std::vector<Bytes> bodies;
};

}  // namespace

TEST(ChatProtocol, OneLineMessageBytesAndCadence) {
  drainChat();
  ChatProtocol chat;
  chat.addChat("Ann", "hi", false);
  EXPECT_TRUE(drainChat().empty());  // a client's own line waits for the relay
  DBuffer message;
  chat.generateMessage(message);
  EXPECT_EQ(bytesOf(message), (Bytes{'C', 'H', 'A', 'T', 0, 1, 3, 'A', 'n', 'n', 2, 'h', 'i'}));
  EXPECT_EQ(chat.getNumPending(), 0u);
  chat.generateMessage(message);
  EXPECT_EQ(message.size(), 0u);

  chat.addChat("Bob", "yo", true);
  std::vector<StatusLine> shown = drainChat();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, "Bob");
  EXPECT_EQ(shown[0].color, 4);

  Recorder a, b;
  std::set<Recorder*> clients = {&a, &b};
  for (int tick = 1; tick < 15; ++tick) chat.runServer(clients);
  EXPECT_TRUE(a.bodies.empty());
  chat.runServer(clients);
  ASSERT_EQ(a.bodies.size(), 1u);
  EXPECT_EQ(b.bodies, a.bodies);
  Recorder host;
  for (int tick = 0; tick < 30; ++tick) chat.runClient(&host);
  EXPECT_TRUE(host.bodies.empty());  // nothing queued, nothing sent
}

TEST(ChatProtocol, HostShowsAndRelaysClientShows) {
  drainChat();
  ChatProtocol sender;
  sender.addChat("Ann", std::string(200, 'a'), false);  // long and repetitive: compressed
  sender.addChat("Bea", "second", false);
  DBuffer message;
  sender.generateMessage(message);
  EXPECT_EQ(message.getByte(4), 1);

  ChatProtocol host;
  DBuffer body = withoutHeader(message);
  host.parseChat(body, true);
  std::vector<StatusLine> shown = drainChat();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].owner, "Ann");
  EXPECT_EQ(shown[0].text, std::string(200, 'a'));
  EXPECT_EQ(shown[1].text, "second");
  EXPECT_EQ(host.getNumPending(), 2u);  // queued for every client, the sender included

  ChatProtocol client;
  body = withoutHeader(message);
  client.parseChat(body, false);
  EXPECT_EQ(drainChat().size(), 2u);
  EXPECT_EQ(client.getNumPending(), 0u);
}

TEST(ChatProtocol, EveryRejectionHasItsText) {
  drainChat();
  ChatProtocol chat;
  struct Case {
    Bytes body;
    int linesShown;
    std::string text;
  };
  std::vector<Case> cases = {
      {{}, 0, "parseChat() got an empty message"},
      {{2, 1, 1, 'A', 1, 'x'}, 0, "parseChat() got invalid compression byte"},
      {{0}, 0, "parseChat() expected the number of chat messages"},
      {{1, 7, 7, 7}, 0, "inflate(): Input data corrupted"},
      {{0, 3, 1, 'A', 1, 'x', 1, 'B', 1, 'y'}, 2, "extractMessage() expected size of the user name"},
      {{0, 1, 0, 1, 'x'}, 0, "extractMessage() got a name with 0 bytes"},
      {{0, 1, 5, 'A', 'n'}, 0, "extractMessage() expected user name"},
      {{0, 1, 1, 'A'}, 0, "extractMessage() expected message size"},
      {{0, 1, 1, 'A', 0}, 0, "extractMessage() got a message with no content"},
      {{0, 1, 1, 'A', 9, 'h', 'i'}, 0, "parseChat() expected a chat message"},
  };
  for (const Case& c : cases) {
    DBuffer body = bufferOf(c.body);
    chat.parseChat(body, false);
    std::vector<StatusLine> lines = drainChat();
    ASSERT_EQ(lines.size(), static_cast<size_t>(c.linesShown + 1)) << c.text;
    EXPECT_EQ(lines.back().owner, "ChatProtocol");
    EXPECT_EQ(lines.back().color, 80);
    EXPECT_EQ(lines.back().text.substr(0, c.text.size()), c.text);
  }
}

TEST(ChatProtocol, SenderKeepsLinesWithinTheFormat) {
  drainChat();
  ChatProtocol chat;
  // More lines than one count byte holds, some of them too long: the first
  // message carries 255 lines, truncated to 255 bytes, the rest waits.
  for (int i = 0; i < 300; ++i) chat.addChat(std::string(300, 'n'), std::string(300, 't'), false);
  DBuffer message;
  chat.generateMessage(message);
  ASSERT_GT(message.size(), 5u);
  EXPECT_LE(message.size(), 65536u);
  EXPECT_EQ(chat.getNumPending(), 300u - 127u);  // 127 full-size lines fill one frame

  ChatProtocol receiver;
  DBuffer body = withoutHeader(message);
  receiver.parseChat(body, false);
  std::vector<StatusLine> shown = drainChat();
  ASSERT_EQ(shown.size(), 127u);
  EXPECT_EQ(shown[0].owner, std::string(255, 'n'));
  EXPECT_EQ(shown[0].text, std::string(255, 't'));

  ChatProtocol small;
  for (int i = 0; i < 300; ++i) small.addChat("A", "b", false);
  small.generateMessage(message);
  EXPECT_EQ(small.getNumPending(), 45u);
  body = withoutHeader(message);
  receiver.parseChat(body, false);
  EXPECT_EQ(drainChat().size(), 255u);

  // A line with an empty name is not sent (a receiver would drop everything
  // after it); the others still arrive.
  ChatProtocol mixed;
  mixed.addChat("", "lost", false);
  mixed.addChat("Ann", "kept", false);
  mixed.generateMessage(message);
  std::vector<StatusLine> status = drainChat();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].text, "generateMessage() dropped a line with an empty name or text");
  body = withoutHeader(message);
  receiver.parseChat(body, false);
  shown = drainChat();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "kept");

  // A tiny stream that inflates past the largest possible payload is refused.
  DBuffer bomb;
  for (int i = 0; i < 200000; ++i) bomb.appendByte('x');
  DBuffer packed = bomb.compress(9);
  packed.insertByte(1);
  receiver.parseChat(packed, true);
  status = drainChat();
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].text.find("inflate(): Decompressed data exceeds"), 0u);
}
