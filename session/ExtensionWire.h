#ifndef SESSION_EXTENSIONWIRE_H
#define SESSION_EXTENSIONWIRE_H

// What Brelvin peers add to the session wire, in one place.
//
// Announcement. Each side tells the other once per connection that it
// understands these messages, in a session body (frame type 0, which every
// peer handles) headed ANNOUNCE_HEADER. A peer that knows only the session's
// own bodies posts one line about an unknown header and goes on.
//   client -> host, right after the greeting and before its sync JOIN:
//     "BRLV", version, name length (0 to MAX_NAME_BYTES), name
//   host -> client, in answer to a client's announcement, or unasked right
//   after the greeting when the session has a password or the address is
//   refused:
//     "BRLV", version, HostMode, then for HOST_PASSWORD the CHALLENGE_BYTES
//     of the challenge, for HOST_REFUSED one Verdict byte
// A later version may append fields; a reader takes what it knows.
//
// Extension messages. Once both sides announced, they travel in frames of
// EXTENSION_TYPE without sub-type: a Kind byte, then the kind's fields
// (integers big-endian). Nothing of this type goes to a peer that did not
// announce; a host takes none from a client that did not.

#include <cstddef>

namespace extwire {

constexpr char ANNOUNCE_HEADER[] = "BRLV";
constexpr unsigned char VERSION = 1;
constexpr unsigned char EXTENSION_TYPE = 1;

enum HostMode : unsigned char {
  HOST_OPEN = 0,
  HOST_PASSWORD = 1,
  HOST_REFUSED = 2,
};

enum Kind : unsigned char {
  // client -> host
  PROOF = 1,  // HMAC-SHA256 of the challenge keyed by the password, PROOF_BYTES
  // Sent just before a DRAW: count (0 to MAX_STROKE_STARTS), then that many
  // ascending line numbers (from 0) of that DRAW that begin a stroke.
  STROKE_STARTS = 16,
  UNDO = 17,  // undo the sender's newest stroke; no fields
  REDO = 18,  // paint the stroke it undid last again; no fields

  // host -> client. Kinds from FIRST_HOST_KIND on are the host's alone: a
  // client that sends one is dropped.
  FIRST_HOST_KIND = 64,
  ADMITTED = 64,  // the password was right
  ROSTER = 65,    // count, then per player: id (4), flags (1), name length, name
  VERDICT = 66,   // a Verdict byte; the host closes the connection after it
  LOCK = 67,      // 1: the canvas is locked, 0: unlocked
  // Pixels that an undo, redo or rollback changed (PixelPatch.h), up to a
  // frame each; a client that misses one is repaired by synchronization.
  PIXELS = 80,
  FORGOTTEN = 81,  // the host forgot the oldest of your strokes; no fields
};

// ROSTER flags.
constexpr unsigned char PLAYER_HOST = 1;
constexpr unsigned char PLAYER_YOU = 2;

enum Verdict : unsigned char {
  WRONG_PASSWORD = 1,
  KICKED = 2,
  BANNED = 3,
  TOO_MANY_WRONG = 4,
};

constexpr std::size_t CHALLENGE_BYTES = 32;
constexpr std::size_t PROOF_BYTES = 32;
// A player name: 1 to MAX_NAME_BYTES printable ASCII characters.
constexpr std::size_t MAX_NAME_BYTES = 32;
// The largest announcement body and extension message a peer takes.
constexpr std::size_t MAX_ANNOUNCE_BYTES = 256;
constexpr std::size_t MAX_EXTENSION_BYTES = 4096;
// The most line numbers of one STROKE_STARTS (a DRAW a client sends holds
// at most 30 lines; the host paints at most 64 of one).
constexpr std::size_t MAX_STROKE_STARTS = 64;
// The most players a ROSTER lists (the host and its clients).
constexpr std::size_t MAX_ROSTER_PLAYERS = 16;

inline bool isHostKind(unsigned char kind) { return kind >= FIRST_HOST_KIND; }
// Kinds that come with or instead of strokes: charged to the sender's
// budget for strokes, not to that of the other extension messages.
inline bool isStrokeKind(unsigned char kind) { return kind == STROKE_STARTS || kind == UNDO || kind == REDO; }

}  // namespace extwire

#endif  // SESSION_EXTENSIONWIRE_H
