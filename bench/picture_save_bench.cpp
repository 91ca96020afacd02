// Picture saving benchmark: how long the PNG of a painted canvas takes at
// 1600 x 1600 and 10000 x 10000, per zlib level of the PNG add-on (its own
// default is 9), and what the program's loop sees of a save: the pause of
// PictureSaver::start() and the time until poll() reports the picture.
//
//   picture_save_bench [--folder DIR] [--sizes N,N,...] [--levels L,L,...]
//
// The canvases are painted with random walks of square brush stamps in the
// palette's colours over a fifth of their area, like an evening of painting.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AllegWorker.h"
#include "KivSettings.h"
#include "PictureSaver.h"

#include <allegro.h>
#include <loadpng.h>

namespace {

typedef std::chrono::steady_clock Clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::vector<int> numbers(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) out.push_back(std::atoi(part.c_str()));
  return out;
}

long fileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

// Walks of 40 segments, each stamped every pixel with a square of side
// 2 * brush + 1, until about a fifth of the canvas has been painted over.
BITMAP* paintedCanvas(int size) {
  BITMAP* c = create_bitmap(size, size);
  clear_to_color(c, makecol(0, 0, 0));
  std::mt19937 rng(1);
  const double target = 0.2 * size * size;
  double covered = 0;
  while (covered < target) {
    long x = rng() % size, y = rng() % size;
    const int brush = static_cast<int>(rng() % 4);
    RGB entry;
    get_color(1 + static_cast<int>(rng() % 100), &entry);
    const int color = makecol(entry.r << 2, entry.g << 2, entry.b << 2);
    for (int s = 0; s < 40; ++s) {
      const long nx = x + static_cast<long>(rng() % 121) - 60, ny = y + static_cast<long>(rng() % 121) - 60;
      const long steps = std::max(std::labs(nx - x), std::labs(ny - y)) + 1;
      for (long i = 0; i < steps; ++i) {
        const long px = x + (nx - x) * i / steps, py = y + (ny - y) * i / steps;
        rectfill(c, static_cast<int>(px - brush), static_cast<int>(py - brush), static_cast<int>(px + brush),
                 static_cast<int>(py + brush), color);
      }
      covered += static_cast<double>(steps) * (2 * brush + 1);
      x = nx;
      y = ny;
    }
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = "/tmp/brelvin-picture-bench";
  std::vector<int> sizes = {1600, 10000};
  std::vector<int> levels = {1, 3, 6, 9};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--folder") folder = argv[i + 1];
    else if (a == "--sizes") sizes = numbers(argv[i + 1]);
    else if (a == "--levels") levels = numbers(argv[i + 1]);
  }
  AllegWorker::initHeadless();
  mkdir(folder.c_str(), 0777);

  for (int size : sizes) {
    const Clock::time_point painting = Clock::now();
    BITMAP* canvas = paintedCanvas(size);
    std::printf("%d x %d canvas painted in %.1f s\n", size, size, secondsSince(painting));
    for (int level : levels) {
      const std::string path = folder + "/level.png";
      _png_compression_level = level;
      const Clock::time_point t = Clock::now();
      const int rc = save_png(path.c_str(), canvas, nullptr);
      std::printf("  add-on, zlib level %d: %.2f s, %.1f MB%s\n", level, secondsSince(t), fileSize(path) / 1e6,
                  rc == 0 ? "" : " (failed)");
      unlink(path.c_str());
    }

    // As the program saves: the loop's pause for start(), then polls.
    PictureSaver saver(folder);
    const Clock::time_point t = Clock::now();
    saver.start(canvas);
    const double pause = secondsSince(t);
    while (saver.busy()) {
      saver.poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("  PictureSaver (level %d): loop paused %.1f ms by start(), picture after %.2f s: %s\n",
                PictureSaver::COMPRESSION_LEVEL, pause * 1000, secondsSince(t), saver.lastOutcome().text.c_str());
    if (saver.lastOutcome().ok) unlink(saver.lastOutcome().path.c_str());
    KivSettings::deleteMessages();
    destroy_bitmap(canvas);
  }
  rmdir(folder.c_str());
  return 0;
}
