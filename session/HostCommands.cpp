// HostCommands: parsing and answering the host's typed commands.

#include "HostCommands.h"

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

const char* const WORDS[] = {"/who", "/kick", "/ban", "/unban", "/lock", "/unlock"};

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
  } else if (word == "/lock" || word == "/unlock") {
    const bool lock = word == "/lock";
    if (server.isLocked() == lock) return {lock ? "The canvas is locked already" : "The canvas is not locked"};
    server.setLocked(lock);
    out.push_back(lock ? "The host locked the canvas" : "The host unlocked the canvas");
  }
  return out;
}

}  // namespace hostcommands
