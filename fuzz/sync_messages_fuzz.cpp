// Each sync parser on a body as the receivers take it in: the kind byte picks
// the parser, as the client and the host's state machine do, with the
// canvas's geometry (256 segments of 30000 bytes, 3-byte specks). A FLSH is
// applied to a client's map by the client's own handler; a JOIN_ACK, CRC
// query or CRC reply that parses must be rebuilt byte for byte by its
// builder, or sender and receiver disagree about the layout.

#include <cstdint>
#include <string>

#include "SyncArray.h"
#include "SyncClient.h"
#include "SyncMessages.h"
#include "SyncSettings.h"
#include "FuzzSupport.h"

namespace {

using namespace fuzzsupport;
using libkorvet::DEngine;
using libksync::SyncMessages;

const unsigned short SEGMENTS = 256;
const unsigned short SEGMENT_SIZE = 30000;
const unsigned short SPECK_SIZE = 3;

struct Parsers {
  Parsers()
      : connection(&engine),
        client(&connection, &engine, 0, [](std::string) {}),
        geometry([](std::string) {}) {
    setUpProcess();
    geometry.setSegmentSize(SEGMENT_SIZE, SPECK_SIZE);
    client.setSegmentSize(SEGMENT_SIZE, SPECK_SIZE);
    bytes.reset(new libksync::SyncArray<unsigned char>(client, unsigned(SEGMENTS) * SEGMENT_SIZE));
    client.retrieveDataMap()->initialize();
  }
  DEngine engine;
  libkorvet::DDispatcher connection;
  libksync::SyncClient client;
  libksync::SyncSettings geometry;
  std::unique_ptr<libksync::SyncArray<unsigned char>> bytes;
};

void expectSame(const DBuffer& parsed, const DBuffer& rebuilt, const char* kind) {
  bool same = parsed.size() == rebuilt.size();
  for (unsigned int i = 0; same && i < parsed.size(); ++i) same = parsed.getByte(i) == rebuilt.getByte(i);
  if (same) return;
  std::fprintf(stderr, "A %s parsed, but its builder writes other bytes\n", kind);
  std::abort();
}

void parse(Parsers& p, DBuffer& body) {
  std::string err;
  DBuffer rest = body;
  unsigned char kind = 0;
  if (!SyncMessages::takeKind(rest, kind)) return;
  DBuffer rebuilt;
  switch (kind) {
    case SyncMessages::JOIN_ACK: {
      libksync::SyncJoinAck ack;
      if (!SyncMessages::parseJoinAck(body, ack, err)) return;
      SyncMessages::checkJoinAck(ack, p.geometry, err);
      SyncMessages::buildJoinAck(ack, rebuilt);
      expectSame(body, rebuilt, "JOIN_ACK");
      break;
    }
    case SyncMessages::FLSH:
      p.client.handleFlushMsg(rest);
      break;
    case SyncMessages::CRC_QUERY: {
      libksync::SyncCrcQuery query;
      if (!SyncMessages::parseCrcQuery(rest, SEGMENTS, query, err)) return;
      SyncMessages::buildCrcQuery(query.firstSegment, query.crcs, rebuilt);
      expectSame(body, rebuilt, "CRC_QUERY");
      break;
    }
    case SyncMessages::CRC_REPLY: {
      libksync::SyncCrcReply reply;
      if (!SyncMessages::parseCrcReply(rest, SEGMENTS, SEGMENT_SIZE, reply, err)) return;
      SyncMessages::buildCrcReply(reply.mismatched, reply.nextSegment, reply.compression, reply.seriesSize, rebuilt);
      expectSame(body, rebuilt, "CRC_REPLY");
      break;
    }
    case SyncMessages::CHNK: {
      unsigned char number = 0;
      SyncMessages::parseChunk(rest, number, err);
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Parsers* parsers = new Parsers();
  fromPeer([&] {
    DBuffer body = bytesOf(data, size);
    parse(*parsers, body);
  });
  return 0;
}
