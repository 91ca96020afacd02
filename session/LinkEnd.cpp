#include "LinkEnd.h"

#include "KivSettings.h"

namespace linkend {

std::string hostEnded(const libkorvet::DClient& link, const std::string& address) {
  return link.closedByPeer() ? "The host closed the session" : "The connection to " + address + " was lost";
}

std::string clientEnded(const libkorvet::DClient& link, const std::string& who, const std::string& address) {
  return link.closedByPeer() ? who + " left" : "The connection to " + address + " was lost";
}

std::string cannotConnect(const libkorvet::DClient& link, libkorvet::NetworkCode code, const std::string& address) {
  if (code == libkorvet::resolveFailed) return "Couldn't find the computer " + address;
  if (link.connectRefused()) return "Couldn't connect to " + address + ": no session is hosted there";
  return "Couldn't connect to " + address;
}

void log(const std::string& owner, const std::string& words, const std::string& systemText) {
  KivSettings::logLine(owner + " " + words + " (" + systemText + ")");
}

}  // namespace linkend
