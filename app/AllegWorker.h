#ifndef APP_ALLEGWORKER_H
#define APP_ALLEGWORKER_H

// AllegWorker: brings up the graphics library (24-bit colour, keyboard,
// mouse, timer), then the palette, the datafile "hoard.dat" with its five
// fonts and the game engine, runs the engine until the user quits and tears
// it all down again. main() owns the one worker.

struct RGB;

class AllegWorker {
 public:
  AllegWorker() {}

  // 0 on success, -1 when the library cannot start (no display), -3
  // without a usable mouse, -5 without a background display-switch mode.
  // The argument is not used.
  int initAllegro(bool unused);
  // 0 after a normal run, -1 when the datafile cannot be loaded, -2 when the
  // game engine cannot be created.
  int initProgram();
  // Fills entries 0 to 100 and 255 of a 256-entry table (6-bit components).
  static void makeColors(RGB* colors);
  // The library without a display: 24-bit memory bitmaps and the program's
  // palette, for headless peers and tools.
  static void initHeadless();
  // Reports an initAllegro() failure in message boxes.
  void showError(int code);
  // Reports an initProgram() failure on the screen and pauses 5 seconds.
  void showProgErr(int code);

  static int getNumInstances() { return -1; }
};

#endif  // APP_ALLEGWORKER_H
