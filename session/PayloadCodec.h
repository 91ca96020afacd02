#ifndef SESSION_PAYLOADCODEC_H
#define SESSION_PAYLOADCODEC_H

// PayloadCodec: the body layout CHAT and DRAW share: a four-letter header,
// a compression flag (0 raw, 1 zlib) and the payload, compressed only when
// that makes it shorter. Used by ChatProtocol and DrawingProtocol; holds no
// state.

#include <string>

#include "DBuffer.h"

class PayloadCodec {
 public:
  static const unsigned char FLAG_RAW = 0;
  static const unsigned char FLAG_ZLIB = 1;

  // Appends header, flag and the shorter of the raw and compressed payload
  // to message.
  static void wrap(const std::string& header, libkorvet::DBuffer& payload, libkorvet::DBuffer& message);

  // Takes the flag off the front of body (its header already removed) and
  // returns the plain payload: body itself, or `inflated` when it was
  // compressed (refused beyond maxSize bytes, so a small hostile body cannot
  // make us inflate without end). Null on failure with the reason in err;
  // `parser` names the caller in the invalid-flag text.
  // Requires: body is not empty.
  static libkorvet::DBuffer* unwrap(libkorvet::DBuffer& body, unsigned int maxSize, libkorvet::DBuffer& inflated,
                                    const std::string& parser, std::string& err);
};

#endif  // SESSION_PAYLOADCODEC_H
