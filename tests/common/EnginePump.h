#ifndef TESTS_COMMON_ENGINEPUMP_H
#define TESTS_COMMON_ENGINEPUMP_H

// Shared by the network engine and sync tests: stepping engines until a
// condition holds (never sleeping, with a real-time deadline), moving the
// manual clock as they go, and building or reading raw byte buffers.

#include <algorithm>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "DBuffer.h"
#include "DEngine.h"
#include "DTime.h"

namespace testnet {

// Steps the engines until cond holds (true) or realMs of real time passed
// (false). With stepMs > 0 the manual clock moves that much per step.
inline bool pump(const std::vector<libkorvet::DEngine*>& engines, const std::function<bool()>& cond,
                 int realMs = 10000, unsigned int stepMs = 0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (stepMs > 0) libkorvet::DTime::advanceManualClock(stepMs);
    for (libkorvet::DEngine* e : engines) e->update(-1);
  }
  return true;
}

// Runs the engines for `ms` of manual time in steps of stepMs.
inline void advance(const std::vector<libkorvet::DEngine*>& engines, unsigned int ms, unsigned int stepMs = 5) {
  for (unsigned int t = 0; t < ms; t += stepMs) {
    libkorvet::DTime::advanceManualClock(stepMs);
    for (int i = 0; i < 3; ++i)
      for (libkorvet::DEngine* e : engines) e->update(-1);
  }
}

// Switches the manual clock on for one scope.
struct ManualClock {
  ManualClock() { libkorvet::DTime::setManualClock(true); }
  ~ManualClock() { libkorvet::DTime::setManualClock(false); }
};

inline libkorvet::DBuffer bytes(std::initializer_list<int> values) {
  libkorvet::DBuffer b;
  for (int v : values) b.appendByte(static_cast<unsigned char>(v));
  return b;
}

inline libkorvet::DBuffer bytesOf(const std::string& s) {
  libkorvet::DBuffer b;
  b.appendString(s);
  return b;
}

inline std::vector<int> all(const libkorvet::DBuffer& b) {
  std::vector<int> v;
  for (unsigned int i = 0; i < b.size(); ++i) v.push_back(b.getByte(i));
  return v;
}

// A loopback port where nothing listens (bound, read, released).
inline unsigned short unusedPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
  return a.local_endpoint().port();
}

}  // namespace testnet

#endif  // TESTS_COMMON_ENGINEPUMP_H
