#ifndef SESSION_LINKEND_H
#define SESSION_LINKEND_H

// LinkEnd: the words a person is shown when a session connection ends or
// cannot be made, from how it ended; the system's own text goes to the
// program's log beside them ("OWNER WORDS (SYSTEM TEXT)"), for diagnosis.

#include <string>

#include "DClient.h"

namespace linkend {

// A client's link to its host broke: "The host closed the session" when the
// host closed it, else "The connection to ADDRESS was lost".
std::string hostEnded(const libkorvet::DClient& link, const std::string& address);
// A host's link to a client broke: "WHO left" when the client closed it
// (who is the player's name if the session knows it, else the address),
// else "The connection to ADDRESS was lost".
std::string clientEnded(const libkorvet::DClient& link, const std::string& who, const std::string& address);
// A connect to a host failed: "Couldn't find the computer ADDRESS" (the
// name lookup failed), "Couldn't connect to ADDRESS: no session is hosted
// there" (refused), else "Couldn't connect to ADDRESS".
std::string cannotConnect(const libkorvet::DClient& link, libkorvet::NetworkCode code, const std::string& address);

// Writes the words and the system's text to the log only.
void log(const std::string& owner, const std::string& words, const std::string& systemText);

}  // namespace linkend

#endif  // SESSION_LINKEND_H
