#ifndef APP_PICTURESAVER_H
#define APP_PICTURESAVER_H

// PictureSaver: keeps the whole canvas as a PNG file in a folder of pictures,
// named "brelvin-YYYYMMDD-HHMMSS.png" after the local time of the request
// ("-2", "-3", ... when that name is taken). A save runs in a child process
// that holds a copy-on-write image of the canvas as it was when asked, so the
// caller's loop keeps running while the picture is compressed; the outcome
// comes back as a status line ("PictureSaver", colour 80). One save at a time.
// Used by the game engine (Ctrl+S) and by the headless host; main thread only.
// Requires: Allegro installed (a display is not needed).

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <string>

struct BITMAP;

class PictureSaver {
 public:
  // The zlib level the PNG add-on compresses with. Its own default, 9, takes
  // five times as long for a painted canvas; 6 a quarter longer for files a
  // fifth smaller (picture_save_bench).
  static constexpr int COMPRESSION_LEVEL = 3;
  // About 30 million pixels are written a second, less on a busy machine:
  // from this size on "Saving the picture..." is shown at once; smaller
  // pictures show it only if they are still being written after a second.
  static constexpr long SLOW_SAVE_PIXELS = 4000L * 4000L;

  struct Outcome {
    bool ok = false;
    std::string text;  // the status line
    std::string path;  // folder/name of the picture when ok
  };

  // The folder is created when the first picture is saved.
  explicit PictureSaver(const std::string& folder = "pictures");
  // Waits for a save still running, so that the picture is not lost.
  ~PictureSaver();
  PictureSaver(const PictureSaver&) = delete;
  PictureSaver& operator=(const PictureSaver&) = delete;

  // Starts saving a copy of the canvas as it is now; false, with a status
  // line, when a save is still running or the canvas is missing. Where no
  // child process can be started the picture is saved before this returns.
  bool start(BITMAP* canvas);
  // Call once per tick: reports a save running past a second and the end of one.
  void poll();
  // Until the running save, if any, has ended and been reported.
  void wait();
  bool busy() const { return child > 0; }
  // The outcome of the last save that ended.
  const Outcome& lastOutcome() const { return last; }

  // The whole job in the calling process: the folder, the file, its check
  // and its final name. The status line is posted.
  Outcome saveNow(BITMAP* canvas);

  // "brelvin-YYYYMMDD-HHMMSS" for a local time.
  static std::string baseName(std::time_t when);
  // Writes canvas as folder/base.png, or base-2.png, base-3.png, ... if
  // taken; nothing is posted. A file that exists is never replaced, and no
  // half-written picture ever carries a picture's name.
  static Outcome write(BITMAP* canvas, const std::string& folder, const std::string& base);

 private:
  // Reads and reports the result of the child that ended.
  void collect(pid_t done, int status);
  void finish(const Outcome& outcome);
  void post(const std::string& text) const;

  std::string folder;
  std::string pendingBase;  // of the save in the child
  Outcome last;
  pid_t child;
  int resultPipe;
  bool announced;
  std::chrono::steady_clock::time_point started;
};

#endif  // APP_PICTURESAVER_H
