#ifndef FUZZ_FUZZSUPPORT_H
#define FUZZ_FUZZSUPPORT_H

// Shared by the fuzz targets: the once-per-process set-up (quiet standard
// output, Allegro without a display, the manual clock), the bytes a peer's
// dispatcher puts on the wire for a body, and the rule that a fatal error
// reached from a peer's bytes is a fault. Include it last: it ends with
// Allegro's header, whose macros collide with the others.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>

#include "DBuffer.h"
#include "DDispatcher.h"
#include "DEngine.h"
#include "DTime.h"
#include "KivSettings.h"

#include <allegro.h>

namespace fuzzsupport {

using libkorvet::DBuffer;

// What every target does once: status lines go to standard output, which
// under a fuzzer only costs time (the fuzzer reports on standard error), so
// they are discarded;
// memory bitmaps at 24 bits need Allegro but no display; session timers run
// on the manual clock, which a target moves instead of waiting.
// Throws away what the program writes to std::cout, flushes included, so
// that every status line costs no system call.
class Discard : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

inline void setUpProcess() {
  static Discard discard;
  std::cout.rdbuf(&discard);
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(24);
  libkorvet::DTime::setManualClock(true);
}

// The session targets: the process set-up and the delivered options, which
// the protocols read when they are made. BRELVIN_FUZZ_BANDWIDTH picks the
// pacing (65535, the steady one, by default).
struct SessionOptions {
  SessionOptions() {
    setUpProcess();
    KivSettings::setFlushFrequency("15");
    const char* bandwidth = std::getenv("BRELVIN_FUZZ_BANDWIDTH");
    if (!KivSettings::setSyncBandwidth(bandwidth != nullptr ? bandwidth : "65535")) std::abort();
  }
};

// A target's own set-up did not hold: nothing to fuzz on.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "fuzz target set-up: %s\n", what);
  std::abort();
}

// Steps the engine, the manual clock moving stepMs each time, until done
// (a few steps on loopback).
template <class Done>
void pumpUntil(libkorvet::DEngine& engine, unsigned int stepMs, Done done, const char* failure) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) broken(failure);
    libkorvet::DTime::advanceManualClock(stepMs);
    engine.update(-1);
  }
}

// A dispatcher without a connection whose sends are kept: the exact bytes
// a peer puts on the wire for the bodies given to sendMessage.
class WireRecorder : public libkorvet::DDispatcher {
 public:
  explicit WireRecorder(libkorvet::DEngine* e) : DDispatcher(e) {}
  void send(const DBuffer& data) override { wire.append(data); }
  DBuffer wire;
};

inline DBuffer bytesOf(const unsigned char* data, size_t size) {
  DBuffer b;
  b.appendArray(data, static_cast<long>(size));
  return b;
}

// An input as a list of records, each one body and its kind:
//   [selector] [length - 1: 16 bits, big-endian] [body]
// A short last record keeps the bytes there are. A peer's dispatcher frames
// each body completely, so every input ends between frames and the next
// one meets the receiver in step.
template <class Record>
void forEachRecord(const uint8_t* data, size_t size, Record&& record) {
  for (size_t at = 0; at + 3 < size;) {
    const unsigned char selector = data[at];
    const size_t length = std::min<size_t>((size_t(data[at + 1]) << 8 | data[at + 2]) + 1u, size - at - 3);
    at += 3;
    record(selector, bytesOf(data + at, length));
    at += length;
  }
}

// Runs the work for one input. Nothing a peer sends may reach a fatal
// error: its text is printed and the process crashes, so the fuzzer keeps
// the input.
template <class Work>
void fromPeer(Work&& work) {
  try {
    work();
  } catch (const libkorvet::FatalError& e) {
    std::fprintf(stderr, "A peer's bytes reached a fatal error:\n%s", e.text.c_str());
    std::abort();
  }
  // The paint panel would take the status lines off the queue every tick.
  KivSettings::deleteMessages();
}

}  // namespace fuzzsupport

#endif  // FUZZ_FUZZSUPPORT_H
