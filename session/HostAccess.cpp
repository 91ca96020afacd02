// HostAccess: password proofs, bans, the wrong-proof throttle and the lock.

#include "HostAccess.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <fstream>

const unsigned int HostAccess::MAX_WRONG_PROOFS;
const unsigned int HostAccess::WRONG_PROOF_WINDOW_MS;
const unsigned int HostAccess::REFUSE_MS;
const std::size_t HostAccess::MAX_TRACKED_ADDRESSES;
const std::size_t HostAccess::MAX_BANS;
const std::size_t HostAccess::MAX_PASSWORD_BYTES;

HostAccess::HostAccess(libkorvet::DEngine* engine) : locked(false) {
  origin.useEngine(engine);
  origin.updateTime();
}

unsigned long long HostAccess::now() { return origin.timeElapsed(); }

bool HostAccess::makeChallenge(std::string& challenge) {
  unsigned char bytes[extwire::CHALLENGE_BYTES];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  challenge.assign(reinterpret_cast<const char*>(bytes), sizeof bytes);
  return true;
}

std::string HostAccess::proofFor(const std::string& password, const std::string& challenge) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), password.data(), static_cast<int>(password.size()),
            reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(), mac, &length))
    return std::string();
  return std::string(reinterpret_cast<const char*>(mac), length);
}

bool HostAccess::checkProof(const std::string& challenge, const std::string& proof) const {
  if (challenge.size() != extwire::CHALLENGE_BYTES || proof.size() != extwire::PROOF_BYTES) return false;
  const std::string expected = proofFor(secret, challenge);
  return expected.size() == proof.size() && CRYPTO_memcmp(expected.data(), proof.data(), proof.size()) == 0;
}

unsigned char HostAccess::refusal(const std::string& address) {
  if (bans.count(address)) return extwire::BANNED;
  auto it = tries.find(address);
  if (it == tries.end() || !it->second.refused) return 0;
  if (now() < it->second.refusedUntil) return extwire::TOO_MANY_WRONG;
  tries.erase(it);
  return 0;
}

bool HostAccess::wrongProof(const std::string& address) {
  const unsigned long long at = now();
  auto it = tries.find(address);
  if (it == tries.end()) {
    if (tries.size() >= MAX_TRACKED_ADDRESSES) {
      auto oldest = tries.end();
      for (auto t = tries.begin(); t != tries.end(); ++t) {
        if (t->second.refused && at < t->second.refusedUntil) continue;
        const unsigned long long last = t->second.wrongAt.empty() ? 0 : t->second.wrongAt.back();
        if (oldest == tries.end() || last < (oldest->second.wrongAt.empty() ? 0 : oldest->second.wrongAt.back()))
          oldest = t;
      }
      if (oldest == tries.end()) return false;  // all refused: this one waits its turn
      tries.erase(oldest);
    }
    it = tries.emplace(address, Tries{{}, 0, false}).first;
  }
  Tries& t = it->second;
  while (!t.wrongAt.empty() && at - t.wrongAt.front() >= WRONG_PROOF_WINDOW_MS) t.wrongAt.pop_front();
  t.wrongAt.push_back(at);
  if (t.wrongAt.size() < MAX_WRONG_PROOFS) return false;
  t.wrongAt.clear();
  t.refused = true;
  t.refusedUntil = at + REFUSE_MS;
  return true;
}

bool HostAccess::ban(const std::string& address) {
  if (bans.size() >= MAX_BANS) return false;
  return bans.insert(address).second;
}

bool HostAccess::unban(const std::string& address) { return bans.erase(address) != 0; }

bool HostAccess::readPasswordFile(const std::string& path, std::string& password, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read the password file " + path;
    return false;
  }
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    why = "the password file " + path + " has no password on its first line";
    return false;
  }
  if (line.size() > MAX_PASSWORD_BYTES) {
    why = "the password in " + path + " is longer than " + std::to_string(MAX_PASSWORD_BYTES) + " bytes";
    return false;
  }
  password = line;
  return true;
}
