#ifndef SESSION_HOSTCOMMANDS_H
#define SESSION_HOSTCOMMANDS_H

// HostCommands: the host's moderation as typed lines, for a host without a
// screen: /who, /kick NAME, /ban NAME, /unban ADDRESS, /lock, /unlock,
// /undo NAME MINUTES (everything NAME painted in the last MINUTES). Any
// other line is not a command (it stays chat). Reads and acts on the
// KivServer's player list and access rules; main thread.

#include <string>
#include <vector>

class KivServer;

namespace hostcommands {

// Whether line is one of the commands (with or without its argument).
bool isCommand(const std::string& line);
// Carries out a command; the lines that answer it.
std::vector<std::string> run(const std::string& line, KivServer& server);

}  // namespace hostcommands

#endif  // SESSION_HOSTCOMMANDS_H
