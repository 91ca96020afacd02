// PlayerRoster: the host's table of players.

#include "PlayerRoster.h"

#include <algorithm>

#include "ExtensionWire.h"
#include "KivSettings.h"

const unsigned int PlayerRoster::GONE_KEEP_MS;
const std::size_t PlayerRoster::MAX_GONE;
const unsigned int PlayerRoster::HOST_ID;

PlayerRoster::PlayerRoster(libkorvet::DEngine* e) : nextId(HOST_ID + 1) {
  origin.useEngine(e);
  origin.updateTime();
}

unsigned long long PlayerRoster::now() { return origin.timeElapsed(); }

bool PlayerRoster::validName(const std::string& name) {
  if (name.empty() || name.size() > extwire::MAX_NAME_BYTES) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return KivSettings::isValidTyping(c); });
}

std::string PlayerRoster::uniqueName(const std::string& wanted) const {
  if (!findByName(wanted)) return wanted;
  for (unsigned int n = 2;; ++n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    std::string base = wanted.substr(0, extwire::MAX_NAME_BYTES - suffix.size());
    std::string name = base + suffix;
    if (!findByName(name)) return name;
  }
}

void PlayerRoster::setHost(const std::string& name) {
  const std::string cut = name.substr(0, extwire::MAX_NAME_BYTES);
  const std::string shown = validName(cut) ? cut : "host";
  for (Player& p : players)
    if (p.host) {
      p.name = shown;
      return;
    }
  players.insert(players.begin(), Player{HOST_ID, shown, std::string(), nullptr, true, false, 0});
}

const PlayerRoster::Player& PlayerRoster::add(ServerConnection* connection, const std::string& wanted,
                                              const std::string& address) {
  expire();
  std::string name = validName(wanted) ? wanted : address.substr(0, extwire::MAX_NAME_BYTES);
  if (!validName(name)) name = "player";
  players.push_back(Player{nextId++, uniqueName(name), address, connection, false, false, 0});
  return players.back();
}

const PlayerRoster::Player* PlayerRoster::remove(ServerConnection* connection) {
  if (!connection) return nullptr;
  Player* found = nullptr;
  for (Player& p : players)
    if (!p.gone && p.connection == connection) found = &p;
  if (!found) return nullptr;
  found->gone = true;
  found->connection = nullptr;
  found->goneAtMs = now();
  const unsigned int id = found->id;
  expire();
  return find(id);
}

void PlayerRoster::expire() {
  const unsigned long long at = now();
  players.erase(std::remove_if(players.begin(), players.end(),
                               [at](const Player& p) { return p.gone && at - p.goneAtMs >= GONE_KEEP_MS; }),
                players.end());
  std::size_t gone = std::count_if(players.begin(), players.end(), [](const Player& p) { return p.gone; });
  for (auto it = players.begin(); gone > MAX_GONE && it != players.end();) {
    if (it->gone) {
      it = players.erase(it);
      --gone;
    } else {
      ++it;
    }
  }
}

std::vector<PlayerRoster::Player> PlayerRoster::present() const {
  std::vector<Player> out;
  for (const Player& p : players)
    if (!p.gone) out.push_back(p);
  return out;
}

const PlayerRoster::Player* PlayerRoster::find(unsigned int id) const {
  for (const Player& p : players)
    if (p.id == id) return &p;
  return nullptr;
}

const PlayerRoster::Player* PlayerRoster::findByConnection(const ServerConnection* connection) const {
  for (const Player& p : players)
    if (!p.gone && connection && p.connection == connection) return &p;
  return nullptr;
}

const PlayerRoster::Player* PlayerRoster::findByName(const std::string& name) const {
  for (const Player& p : players)
    if (!p.gone && p.name == name) return &p;
  return nullptr;
}
