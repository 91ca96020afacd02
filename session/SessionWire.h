#ifndef SESSION_SESSIONWIRE_H
#define SESSION_SESSIONWIRE_H

// What host and client agree on for a session connection: the frame type of
// application bodies (greeting, DRAW, CHAT), the sync sub-type, the 4-byte
// body headers, the greeting's size, the canvas speck, the status colour and
// the connections' I/O buffer size.

namespace sessionwire {

constexpr unsigned char SESSION_TYPE = 0;
constexpr unsigned short SYNC_SUBTYPE = 0;
constexpr unsigned short SPECK_SIZE = 3;
constexpr unsigned int HEADER_SIZE = 4;
// "NTPT", then the canvas width and height as 4-byte integers.
constexpr unsigned int GREETING_SIZE = 12;
constexpr int STATUS_COLOR = 80;
// Bytes a session connection reads or writes in one operation: a whole
// frame, so a chunk series costs the engine one operation a chunk.
constexpr unsigned int IO_BUFFER_BYTES = 65536;

}  // namespace sessionwire

#endif  // SESSION_SESSIONWIRE_H
