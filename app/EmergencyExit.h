#ifndef APP_EMERGENCYEXIT_H
#define APP_EMERGENCYEXIT_H

// EmergencyExit: ends the program at once, from whichever thread notices,
// when its X display goes away (an X I/O error: logout, a crashed server, a
// dropped forwarded display) or when SIGTERM, SIGINT or SIGHUP arrive. One
// line says why; no exit handler runs (the graphics library's can hang with
// its display gone, and none may run from a signal handler), so nothing is
// left to hang or crash, and the system closes every socket, the session
// listener included. Start-up installs it once, after the graphics library.
//
// Exit status: 1 after losing the display (the program did not choose to
// end, and 1 is what X clients end with by default); a signal ends the
// program as that signal's default action does, so the parent sees which
// signal stopped it (a shell reports 128 + its number).

class EmergencyExit {
 public:
  // The line written when the display is lost.
  static const char* const DISPLAY_LOST;
  static const int DISPLAY_LOST_STATUS = 1;

  // Replaces Xlib's I/O error handler (which prints and calls exit()) and
  // the handlers of the three signals (the graphics library's own run its
  // shutdown inside the signal handler).
  // Requires: the graphics library is installed.
  static void install();
};

#endif  // APP_EMERGENCYEXIT_H
