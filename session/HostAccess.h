#ifndef SESSION_HOSTACCESS_H
#define SESSION_HOSTACCESS_H

// HostAccess: who may come into the host's session and paint there. It keeps
// the session's password (never written anywhere, never sent: a client
// proves it knows it with HMAC-SHA256 of a fresh random challenge keyed by
// the password), the addresses banned for the host's run, the throttle of
// wrong proofs (MAX_WRONG_PROOFS within WRONG_PROOF_WINDOW_MS refuse the
// address for REFUSE_MS), and whether the canvas is locked. Owned by the
// KivServer; its clock is the engine's. Main thread.

#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "DTime.h"
#include "ExtensionWire.h"

namespace libkorvet {
class DBuffer;
class DEngine;
}  // namespace libkorvet

class HostAccess {
 public:
  static const unsigned int MAX_WRONG_PROOFS = 5;
  static const unsigned int WRONG_PROOF_WINDOW_MS = 60000;
  static const unsigned int REFUSE_MS = 60000;
  // Addresses whose wrong proofs are remembered; beyond it the one that
  // erred longest ago is forgotten (a refused address stays refused).
  static const std::size_t MAX_TRACKED_ADDRESSES = 1024;
  static const std::size_t MAX_BANS = 1024;
  // The first line of a password file, at most this long.
  static const std::size_t MAX_PASSWORD_BYTES = 1024;

  explicit HostAccess(libkorvet::DEngine* engine);

  // Empty: an open session.
  void setPassword(const std::string& password) { secret = password; }
  bool hasPassword() const { return !secret.empty(); }

  // A fresh random challenge; false if the system could not give one.
  static bool makeChallenge(std::string& challenge);
  // The proof of password for challenge (PROOF_BYTES).
  static std::string proofFor(const std::string& password, const std::string& challenge);
  // Whether proof answers challenge with this session's password.
  bool checkProof(const std::string& challenge, const std::string& proof) const;

  // Why address may not come in now (extwire::BANNED, TOO_MANY_WRONG), 0 if
  // it may.
  unsigned char refusal(const std::string& address);
  // A wrong proof from address; true when it made the address refused.
  bool wrongProof(const std::string& address);

  // False when the list is full or the address was banned already.
  bool ban(const std::string& address);
  bool unban(const std::string& address);
  bool isBanned(const std::string& address) const { return bans.count(address) != 0; }
  const std::set<std::string>& banned() const { return bans; }

  void setLocked(bool on) { locked = on; }
  bool isLocked() const { return locked; }

  // Reads the first line of a file (without its line end) as a password;
  // false with a reason in why when the file cannot be read or the line is
  // empty or too long.
  static bool readPasswordFile(const std::string& path, std::string& password, std::string& why);

 private:
  struct Tries {
    std::deque<unsigned long long> wrongAt;
    unsigned long long refusedUntil;
    bool refused;
  };
  unsigned long long now();

  libkorvet::DTime origin;
  std::string secret;
  std::set<std::string> bans;
  std::map<std::string, Tries> tries;
  bool locked;
};

#endif  // SESSION_HOSTACCESS_H
