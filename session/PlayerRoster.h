#ifndef SESSION_PLAYERROSTER_H
#define SESSION_PLAYERROSTER_H

// PlayerRoster: who is in the host's session. One entry per player (the host
// itself and every client that joined), with a number that stays the
// player's for the host's run, the name it is shown by (checked and made
// unique among those present), its address and its connection. A player who
// left stays listed, flagged as gone and without connection, for
// GONE_KEEP_MS (at most MAX_GONE of them), so what refers to them (their
// strokes) can still find them. Owned by the KivServer; the host's
// moderation, its views (overlay, /who) and what undoes a player's strokes
// all read this one table. Time is the engine's clock. Main thread.

#include <cstddef>
#include <string>
#include <vector>

#include "DTime.h"

namespace libkorvet {
class DEngine;
}  // namespace libkorvet

class ServerConnection;

class PlayerRoster {
 public:
  static const unsigned int GONE_KEEP_MS = 15 * 60 * 1000;
  static const std::size_t MAX_GONE = 64;
  // The host's own entry.
  static const unsigned int HOST_ID = 0;

  struct Player {
    unsigned int id;
    std::string name;
    std::string address;        // empty for the host
    ServerConnection* connection;  // null for the host and once gone
    bool host;
    bool gone;
    unsigned long long goneAtMs;
  };

  explicit PlayerRoster(libkorvet::DEngine* engine);

  // The host's entry, HOST_ID, named name (checked like any other).
  void setHost(const std::string& name);
  // A client joined from address on connection, asking to be called
  // wanted (empty: it did not say); the name it gets is checked and unique.
  // Returns its entry.
  const Player& add(ServerConnection* connection, const std::string& wanted, const std::string& address);
  // The client on connection left; null if it was not listed.
  const Player* remove(ServerConnection* connection);

  // Present players: the host first, then clients in the order they joined.
  std::vector<Player> present() const;
  // Everyone listed, gone players included.
  const std::vector<Player>& all() const { return players; }
  const Player* find(unsigned int id) const;
  const Player* findByConnection(const ServerConnection* connection) const;
  // A present player by name, exactly as shown.
  const Player* findByName(const std::string& name) const;
  // Forgets gone players past GONE_KEEP_MS (also done by add and remove).
  void expire();

  // 1 to MAX_NAME_BYTES printable ASCII characters.
  static bool validName(const std::string& name);
  // wanted if no present player has it, else "wanted (2)", "wanted (3)",
  // ..., the first that is free, shortened to fit.
  std::string uniqueName(const std::string& wanted) const;

 private:
  unsigned long long now();

  libkorvet::DTime origin;
  std::vector<Player> players;
  unsigned int nextId;
};

#endif  // SESSION_PLAYERROSTER_H
