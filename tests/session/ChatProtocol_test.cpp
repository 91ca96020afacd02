#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ChatProtocol.h"
#include "DDispatcher.h"
#include "CanvasTestSupport.h"

using libkorvet::DBuffer;

namespace {

// The body as a receiver's handler gets it: without "CHAT".
DBuffer withoutHeader(const DBuffer& message) {
  DBuffer body = message;
  body.removeFirst(4);
  return body;
}

}  // namespace

TEST(ChatProtocol, OneLineMessageCadenceAndRelay) {
  drainChat();
  ChatProtocol chat;
  chat.addChat("Ann", "hi", false);
  EXPECT_TRUE(drainChat().empty());  // a client's own line waits for the relay
  DBuffer message;
  chat.generateMessage(message);
  EXPECT_EQ(bytesOf(message), (Bytes{'C', 'H', 'A', 'T', 0, 1, 3, 'A', 'n', 'n', 2, 'h', 'i'}));

  // The host shows a received line once and queues it for every client.
  ChatProtocol host;
  DBuffer body = withoutHeader(message);
  host.parseChat(body, true);
  std::vector<StatusLine> shown = drainChat();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner + shown[0].text + std::to_string(shown[0].color), "Annhi4");
  (void)&ChatProtocol::runServer<libkorvet::DDispatcher>;  // what the session objects pass
  Recorder a, b;
  std::set<Recorder*> clients = {&a, &b};
  for (int tick = 1; tick < 15; ++tick) host.runServer(clients);
  EXPECT_TRUE(a.bodies.empty());
  host.runServer(clients);  // 15th tick
  ASSERT_EQ(a.bodies.size(), 1u);
  EXPECT_EQ(b.bodies, a.bodies);

  // The client shows the relayed line and queues nothing.
  ChatProtocol client;
  body = withoutHeader(bufferOf(a.bodies[0]));
  client.parseChat(body, false);
  EXPECT_EQ(drainChat().size(), 1u);
  EXPECT_EQ(client.getNumPending(), 0u);
}

TEST(ChatProtocol, EveryRejectionHasItsText) {
  drainChat();
  ChatProtocol chat;
  std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "parseChat() got an empty message"},
      {{2, 1, 1, 'A', 1, 'x'}, "parseChat() got invalid compression byte"},
      {{0}, "parseChat() expected the number of chat messages"},
      {{1, 7, 7, 7}, "inflate(): Input data corrupted"},
      {{0, 1, 0, 1, 'x'}, "extractMessage() got a name with 0 bytes"},
      {{0, 1, 5, 'A', 'n'}, "extractMessage() expected user name"},
      {{0, 1, 1, 'A'}, "extractMessage() expected message size"},
      {{0, 1, 1, 'A', 0}, "extractMessage() got a message with no content"},
      {{0, 1, 1, 'A', 9, 'h', 'i'}, "parseChat() expected a chat message"},
  };
  for (const auto& c : cases) {
    DBuffer body = bufferOf(c.first);
    chat.parseChat(body, false);
    expectStatus("ChatProtocol", c.second);
  }
  // A count of 3 with 2 lines shows both, then reports the third.
  DBuffer body = bufferOf({0, 3, 1, 'A', 1, 'x', 1, 'B', 1, 'y'});
  chat.parseChat(body, false);
  std::vector<StatusLine> lines = drainChat();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].text, "extractMessage() expected size of the user name");

  // A tiny stream inflating past the largest possible payload is refused.
  DBuffer bomb;
  for (int i = 0; i < 200000; ++i) bomb.appendByte('x');
  DBuffer packed = bomb.compress(9);
  packed.insertByte(1);
  chat.parseChat(packed, true);
  expectStatus("ChatProtocol", "inflate(): Decompressed data exceeds 130561 bytes.");
}

TEST(ChatProtocol, SenderKeepsLinesWithinTheFormat) {
  drainChat();
  ChatProtocol chat, receiver;
  DBuffer message, body;
  // Too long lines are cut to 255 bytes; 127 such lines fill one frame and
  // the rest waits for the next send.
  for (int i = 0; i < 300; ++i) chat.addChat(std::string(300, 'n'), std::string(300, 't'), false);
  chat.generateMessage(message);
  EXPECT_LE(message.size(), 65536u);
  EXPECT_EQ(chat.getNumPending(), 300u - 127u);
  body = withoutHeader(message);
  receiver.parseChat(body, false);
  EXPECT_EQ(drainChat().at(0).text, std::string(255, 't'));  // the repeats are counted

  // At most 255 lines per message (one count byte).
  ChatProtocol small;
  for (int i = 0; i < 300; ++i) small.addChat("A", "b", false);
  small.generateMessage(message);
  EXPECT_EQ(small.getNumPending(), 45u);

  // A line with an empty name is not sent (a receiver would drop every line
  // after it); the others still arrive.
  ChatProtocol mixed;
  mixed.addChat("", "lost", false);
  mixed.addChat("Ann", "kept", false);
  mixed.generateMessage(message);
  expectStatus("ChatProtocol", "generateMessage() dropped a line with an empty name or text");
  body = withoutHeader(message);
  receiver.parseChat(body, false);
  EXPECT_EQ(drainChat().at(0).text, "kept");
}
