// EmergencyExit: the X I/O error handler and the stop-signal handlers.
//
// Both can run on any thread: Xlib reports a broken connection on whichever
// thread used it (often the graphics library's background thread), and a
// process-directed signal lands on any thread that does not block it. So
// they use only async-signal-safe calls, and the first one to arrive ends
// the program while any later one waits for that end.

#include "EmergencyExit.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>

// Last: Xlib's macros (None, Bool, Status) must not reach other headers.
#include <X11/Xlib.h>

const char* const EmergencyExit::DISPLAY_LOST = "Lost the connection to the display";
const int EmergencyExit::DISPLAY_LOST_STATUS;

namespace {

// A lock-free flag: the one shared state a signal handler may touch.
std::atomic<bool> ending(false);
static_assert(std::atomic<bool>::is_always_lock_free, "the end flag must be safe in a signal handler");

void writeLine(const char* text) {
  const char* p = text;
  size_t left = std::strlen(p);
  while (left > 0) {
    const ssize_t n = write(STDOUT_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  const char newline = '\n';
  while (write(STDOUT_FILENO, &newline, 1) < 0 && errno == EINTR) {
  }
}

// Whoever comes second (another thread with the same broken display, a
// signal during the end) must neither print again nor return: Xlib calls
// exit() when its handler returns.
void claimTheEnd() {
  if (!ending.exchange(true)) return;
  for (;;) pause();
}

int displayLost(Display*) {
  claimTheEnd();
  writeLine(EmergencyExit::DISPLAY_LOST);
  _exit(EmergencyExit::DISPLAY_LOST_STATUS);
}

void stopSignal(int number) {
  claimTheEnd();
  writeLine(number == SIGTERM ? "Stopped by SIGTERM" : number == SIGINT ? "Stopped by SIGINT" : "Stopped by SIGHUP");
  // End the way the signal's default action does, so that the parent learns
  // which signal it was; the signal is blocked while its handler runs.
  struct sigaction plain = {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  sigaction(number, &plain, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(number);
  _exit(128 + number);
}

}  // namespace

void EmergencyExit::install() {
  XSetIOErrorHandler(displayLost);

  struct sigaction stop = {};
  stop.sa_handler = stopSignal;
  sigemptyset(&stop.sa_mask);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaction(number, &stop, nullptr);

  // A write to a display that went away must come back as an error that
  // Xlib reports through displayLost, not end the program silently. The
  // network code never relies on the signal (its sends ask for none).
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}
