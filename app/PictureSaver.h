#ifndef APP_PICTURESAVER_H
#define APP_PICTURESAVER_H

// PictureSaver: keeps the whole canvas as a PNG file in a folder of pictures,
// named "brelvin-YYYYMMDD-HHMMSS.png" after the local time of the request
// ("-2", "-3", ... when that name is taken), or under one name that each save
// replaces (keepAs). Every save is written whole under a hidden name in the
// same folder, put on the disk, and only then given its name, so a save cut
// off at any moment leaves the picture that had the name before, or the new
// one, never part of one. A save runs in a child process that holds a
// copy-on-write image of the canvas as it was when asked, so the caller's
// loop keeps running while the picture is compressed; the outcome comes back
// as a status line ("PictureSaver", colour 80), or only on standard output
// for a quiet saver's successes. One save at a time per saver.
// Used by the game engine (Ctrl+S), the autosave and the headless host; main
// thread only. Requires: Allegro installed (a display is not needed).

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

  // The steps of a save, in order, after which afterStep is called.
  enum Step { PART_WRITTEN, PART_ON_DISK, NAMED, FOLDER_ON_DISK };
  // Test seam: called after each step in the process that writes (a test
  // stops a save there). Null in the program.
  static void (*afterStep)(Step step);

  // The folder is created when the first picture is saved.
  explicit PictureSaver(const std::string& folder = "pictures");
  // Waits for a save still running, so that the picture is not lost.
  ~PictureSaver();
  PictureSaver(const PictureSaver&) = delete;
  PictureSaver& operator=(const PictureSaver&) = delete;

  // Every later save replaces folder/base.png instead of taking a new name.
  void keepAs(const std::string& base) { fixedBase = base; }
  // Successes (and the notes while saving) go to standard output only.
  void setQuiet(bool on) { quiet = on; }

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
  // Writes canvas as folder/base.png, replacing the picture of that name.
  static Outcome replace(BITMAP* canvas, const std::string& folder, const std::string& base);

 private:
  // Reads and reports the result of the child that ended.
  void collect(pid_t done, int status);
  void finish(const Outcome& outcome);
  void post(const std::string& text) const;
  void note(const std::string& text) const;
  // The base name of a save asked for now.
  std::string nextBase() const;
  Outcome writeNow(BITMAP* canvas, const std::string& base) const;
  // Every save: the picture under a hidden name, on the disk, then named
  // (replacing a picture of that name, or taking the first free suffix).
  static Outcome writeAtomically(BITMAP* canvas, const std::string& folder, const std::string& base,
                                 bool replacing);

  std::string folder;
  std::string fixedBase;
  bool quiet;
  std::string pendingBase;  // of the save in the child
  Outcome last;
  pid_t child;
  int resultPipe;
  bool announced;
  std::chrono::steady_clock::time_point started;
};

#endif  // APP_PICTURESAVER_H
