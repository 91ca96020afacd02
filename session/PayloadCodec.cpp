// PayloadCodec: flag and zlib wrapping of CHAT and DRAW payloads.

#include "PayloadCodec.h"

using libkorvet::DBuffer;

void PayloadCodec::wrap(const std::string& header, DBuffer& payload, DBuffer& message) {
  DBuffer packed = payload.compress(9);
  message.appendString(header);
  if (packed.size() > 0 && packed.size() < payload.size()) {
    message.appendVariable<unsigned char>(FLAG_ZLIB);
    message.append(packed);
  } else {
    message.appendVariable<unsigned char>(FLAG_RAW);
    message.append(payload);
  }
}

DBuffer* PayloadCodec::unwrap(DBuffer& body, unsigned int maxSize, DBuffer& inflated, const std::string& parser,
                              std::string& err) {
  unsigned char flag = body.getByte(0);
  body.removeFirst(1);
  if (flag == FLAG_RAW) return &body;
  if (flag != FLAG_ZLIB) {
    err = parser + "() got invalid compression byte";
    return nullptr;
  }
  inflated = body.decompress(maxSize);
  if (inflated.size() == 0) {
    err = body.getErrMsg();
    return nullptr;
  }
  return &inflated;
}
