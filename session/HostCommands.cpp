// HostCommands: parsing and answering the host's typed commands.

#include "HostCommands.h"

#include <algorithm>

#include "KivServer.h"
#include "PlayerRoster.h"

namespace hostcommands {

namespace {

// The command word and the rest of the line, trimmed.
void split(const std::string& line, std::string& word, std::string& argument) {
  const std::size_t space = line.find(' ');
  word = line.substr(0, space);
  argument = space == std::string::npos ? std::string() : line.substr(space + 1);
  while (!argument.empty() && argument.front() == ' ') argument.erase(0, 1);
  while (!argument.empty() && argument.back() == ' ') argument.pop_back();
}

const char* const WORDS[] = {"/who", "/kick", "/ban", "/unban", "/lock", "/unlock", "/undo"};

// The longest a rollback reaches back, in minutes.
const int MAX_UNDO_MINUTES = 60;

// A player by name: the one present, else the one who left last.
const PlayerRoster::Player* byName(const PlayerRoster& roster, const std::string& name) {
  if (const PlayerRoster::Player* present = roster.findByName(name)) return present;
  const PlayerRoster::Player* found = nullptr;
  for (const PlayerRoster::Player& p : roster.all())
    if (p.gone && p.name == name && (!found || p.goneAtMs > found->goneAtMs)) found = &p;
  return found;
}

}  // namespace

bool isCommand(const std::string& line) {
  std::string word, argument;
  split(line, word, argument);
  for (const char* w : WORDS)
    if (word == w) return true;
  return false;
}

std::vector<std::string> run(const std::string& line, KivServer& server) {
  std::string word, argument;
  split(line, word, argument);
  std::vector<std::string> out;
  if (word == "/who") {
    for (const PlayerRoster::Player& p : server.getRoster().present())
      out.push_back(p.host ? p.name + " (host)" : p.name + "  " + p.address);
    for (const std::string& address : server.getAccess().banned()) out.push_back("banned: " + address);
    if (server.isLocked()) out.push_back("The canvas is locked");
  } else if (word == "/kick" || word == "/ban") {
    if (argument.empty()) return {"Usage: " + word + " NAME"};
    const PlayerRoster::Player* player = server.getRoster().findByName(argument);
    if (!player) return {"No player called " + argument};
    std::string answer;
    server.kick(player->id, word == "/ban", answer);
    out.push_back(answer);
  } else if (word == "/unban") {
    if (argument.empty()) return {"Usage: /unban ADDRESS"};
    std::string answer;
    server.unban(argument, answer);
    out.push_back(answer);
  } else if (word == "/undo") {
    // The name may hold spaces ("Ann (2)"): the minutes are the last word.
    const std::size_t space = argument.rfind(' ');
    int minutes = 0;
    const std::string name = space == std::string::npos ? std::string() : argument.substr(0, space);
    const std::string count = space == std::string::npos ? std::string() : argument.substr(space + 1);
    if (name.empty() || count.empty() || count.size() > 2 ||
        !std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (minutes = std::stoi(count)) < 1 || minutes > MAX_UNDO_MINUTES)
      return {"Usage: /undo NAME MINUTES (1 to 60)"};
    std::string trimmed = name;
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
    const PlayerRoster::Player* player = byName(server.getRoster(), trimmed);
    if (!player) return {"No player called " + trimmed};
    std::string answer;
    server.rollbackPlayer(player->id, static_cast<unsigned int>(minutes), answer);
    out.push_back(answer);
  } else if (word == "/lock" || word == "/unlock") {
    const bool lock = word == "/lock";
    if (server.isLocked() == lock) return {lock ? "The canvas is locked already" : "The canvas is not locked"};
    server.setLocked(lock);
    out.push_back(lock ? "The host locked the canvas" : "The host unlocked the canvas");
  }
  return out;
}

}  // namespace hostcommands
