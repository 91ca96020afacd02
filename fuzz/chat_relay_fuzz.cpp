// CHAT bodies as the session hands them over (the "CHAT" header removed):
// decoded and queued by the host, relayed in as many messages as the queue
// needs, and each relay decoded by a client. Every line the host took in
// must leave in its relays (the queue keeps at most its bound of them).

#include <algorithm>
#include <cstdint>
#include <string>

#include "ChatProtocol.h"
#include "PayloadCodec.h"
#include "FuzzSupport.h"

namespace {

using namespace fuzzsupport;

// The line count of a relayed message.
unsigned int linesIn(DBuffer message) {
  DBuffer inflated;
  std::string err;
  message.removeFirst(4);
  DBuffer* payload = PayloadCodec::unwrap(message, ChatProtocol::MAX_PAYLOAD_SIZE, inflated, "relay", err);
  if (payload == nullptr || payload->size() == 0) {
    std::fprintf(stderr, "The host relayed a chat message its clients cannot read: %s\n", err.c_str());
    std::abort();
  }
  return payload->getByte(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (setUpProcess(), true);
  (void)ready;
  fromPeer([&] {
    ChatProtocol host, client;
    DBuffer body = bytesOf(data, size);
    host.parseChat(body, true);
    const size_t queued = host.getNumPending();
    size_t relayed = 0;
    for (;;) {
      DBuffer message;
      host.generateMessage(message);
      if (message.size() == 0) break;
      relayed += linesIn(message);
      message.removeFirst(4);
      client.parseChat(message, false);
    }
    if (relayed != queued || host.getNumPending() != 0) {
      std::fprintf(stderr, "The host queued %zu chat lines and relayed %zu\n", queued, relayed);
      std::abort();
    }
  });
  return 0;
}
