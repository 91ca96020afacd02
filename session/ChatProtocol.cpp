// ChatProtocol: CHAT batching, encoding and decoding.

#include "ChatProtocol.h"

#include "DEngine.h"
#include "KivSettings.h"
#include "PayloadCodec.h"

using libkorvet::DBuffer;
using libkorvet::DEngine;

namespace {

const char* const OWNER = "ChatProtocol";
const int STATUS_COLOR = 80;
const int USER_COLOR = 4;
const int TICKS_PER_SECOND = 30;

// Takes `length` bytes from the front of body as a string.
std::string takeString(DBuffer& body, unsigned int length) {
  std::string text;
  text.reserve(length);
  for (unsigned int i = 0; i < length; ++i) text.push_back(static_cast<char>(body.getByte(i)));
  body.removeFirst(length);
  return text;
}

}  // namespace

ChatProtocol::ChatProtocol() : sendsPerSecond(2), tickCount(0), lastLineCount(0) {}

ChatProtocol::~ChatProtocol() {}

void ChatProtocol::postStatus(const std::string& text) {
  KivSettings::addChatMessage(OWNER, text, STATUS_COLOR);
}

void ChatProtocol::addChat(const std::string& name, const std::string& text, bool display) {
  KivSettings::logLine("ChatProtocol::addChat() called");
  pending.push_back(Line{name, text});
  // The host relays whatever its clients send; a flood must not grow the
  // queue without limit.
  if (pending.size() > MAX_QUEUED_LINES) {
    pending.pop_front();
    KivSettings::logLine("Dropping chat line!");
  }
  if (display) KivSettings::addChatMessage(name, text, USER_COLOR);
}

bool ChatProtocol::prepareMessage(DBuffer& message) {
  tickCount += 1;
  if (tickCount < TICKS_PER_SECOND / sendsPerSecond) return false;
  tickCount = 0;
  generateMessage(message);
  return message.size() > 0;
}

void ChatProtocol::generateMessage(DBuffer& out) {
  out.clear();
  lastLineCount = 0;
  if (pending.empty()) return;

  DBuffer payload;
  unsigned int lines = 0;
  std::size_t used = 0;
  bool skipped = false;
  // Every length is one byte, and a receiver gives up on the rest of a
  // message at the first empty name or text, so lines are kept within 1 to
  // 255 bytes here, and a message within one line count and one frame.
  for (; used < pending.size() && lines < MAX_LINES_PER_MESSAGE; ++used) {
    std::string name = pending[used].name.substr(0, MAX_FIELD_SIZE);
    std::string text = pending[used].text.substr(0, MAX_FIELD_SIZE);
    if (name.empty() || text.empty()) {
      skipped = true;
      continue;
    }
    if (1 + payload.size() + 2 + name.size() + text.size() > MAX_SEND_PAYLOAD) break;
    payload.appendVariable<unsigned char>(static_cast<unsigned char>(name.size()));
    payload.appendString(name);
    payload.appendVariable<unsigned char>(static_cast<unsigned char>(text.size()));
    payload.appendString(text);
    ++lines;
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
  if (skipped) postStatus("generateMessage() dropped a line with an empty name or text");
  if (lines == 0) return;
  lastLineCount = lines;

  payload.insertVariable<unsigned char>(static_cast<unsigned char>(lines));
  PayloadCodec::wrap("CHAT", payload, out);
}

bool ChatProtocol::parseChat(DBuffer& body, bool relay, const LineGate& gate) {
  if (body.size() == 0) {
    postStatus("parseChat() got an empty message");
    return false;
  }

  DBuffer inflated;
  std::string err;
  // Bounded by the largest payload the format can hold.
  DBuffer* payload = PayloadCodec::unwrap(body, MAX_PAYLOAD_SIZE, inflated, "parseChat", err);
  if (!payload) {
    postStatus(err);
    return false;
  }

  if (payload->size() == 0) {
    postStatus("parseChat() expected the number of chat messages");
    return false;
  }
  unsigned char count = payload->getByte(0);
  payload->removeFirst(1);
  for (unsigned int i = 0; i < count; ++i) {
    LineResult result = extractLine(*payload, relay, gate);
    if (result != LINE_OK) return result == LINE_REFUSED;
  }
  return true;
}

bool ChatProtocol::extractMessage(DBuffer& body, bool relay) { return extractLine(body, relay, LineGate()) == LINE_OK; }

ChatProtocol::LineResult ChatProtocol::extractLine(DBuffer& body, bool relay, const LineGate& gate) {
  if (body.size() == 0) {
    postStatus("extractMessage() expected size of the user name");
    return LINE_MALFORMED;
  }
  unsigned int nameLength = body.getByte(0);
  body.removeFirst(1);
  if (nameLength == 0) {
    postStatus("extractMessage() got a name with 0 bytes");
    return LINE_MALFORMED;
  }
  if (body.size() < nameLength) {
    postStatus("extractMessage() expected user name");
    return LINE_MALFORMED;
  }
  std::string name = takeString(body, nameLength);

  if (body.size() == 0) {
    postStatus("extractMessage() expected message size");
    return LINE_MALFORMED;
  }
  unsigned int textLength = body.getByte(0);
  body.removeFirst(1);
  if (textLength == 0) {
    postStatus("extractMessage() got a message with no content");
    return LINE_MALFORMED;
  }
  if (body.size() < textLength) {
    postStatus("parseChat() expected a chat message");
    return LINE_MALFORMED;
  }
  std::string text = takeString(body, textLength);

  if (gate && !gate(2 + nameLength + textLength)) return LINE_REFUSED;
  // What people type is held to the CHAT budget (the gate), not to the
  // budget of status lines about the peer that sent it.
  KivSettings::LineScope ungated(nullptr);
  if (relay)
    addChat(name, text, true);
  else
    KivSettings::addChatMessage(name, text, USER_COLOR);
  return LINE_OK;
}
