// Saving the canvas as PNG: the file reads back pixel for pixel through the
// add-on, names follow the local time and never replace a picture, and a
// folder that cannot be written, or a file cut short, is a status line.

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllegWorker.h"
#include "KivSettings.h"
#include "PictureSaver.h"

#include <allegro.h>
#include <loadpng.h>

namespace {

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' || std::string(e->d_name).find(".part") != std::string::npos) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

std::vector<std::string> statusLines() {
  std::vector<std::string> lines;
  std::string owner, text;
  int color = 0;
  while (KivSettings::getChatMessage(owner, text, color))
    if (owner == "PictureSaver" && color == 80) lines.push_back(text);
  return lines;
}

class PictureSaverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { AllegWorker::initHeadless(); }
  void SetUp() override {
    char pattern[] = "/tmp/brelvin-pictures-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    tmp = pattern;
    KivSettings::deleteMessages();
    testing::internal::CaptureStdout();  // status lines are echoed there
  }
  void TearDown() override {
    testing::internal::GetCapturedStdout();
    if (canvas != nullptr) destroy_bitmap(canvas);
    std::system(("chmod -R u+w '" + tmp + "'; rm -rf '" + tmp + "'").c_str());
  }
  // A canvas of the program's palette strokes on black, with a patch of
  // random colours that no compression can smooth over.
  BITMAP* paint(int w, int h) {
    canvas = create_bitmap(w, h);
    clear_to_color(canvas, palette_color[0]);
    for (int i = 1; i <= 100; ++i) {
      const int x = 10 + 15 * i;
      rectfill(canvas, x, 40, x + 7, h - 40, palette_color[i]);
      line(canvas, 0, i * 7, w - 1, h - 1 - i * 5, palette_color[101 - i]);
    }
    std::mt19937 rng(7);
    for (int y = 300; y < 556; ++y)
      for (int x = 300; x < 556; ++x) putpixel(canvas, x, y, makecol(rng() & 255, rng() & 255, rng() & 255));
    return canvas;
  }

  std::string tmp;
  BITMAP* canvas = nullptr;
};

TEST_F(PictureSaverTest, SavedPictureReadsBackPixelExact) {
  const std::string folder = tmp + "/pictures";  // made by the first save
  PictureSaver saver(folder);
  ASSERT_TRUE(saver.start(paint(1600, 1600)));
  EXPECT_FALSE(saver.start(canvas));  // one at a time
  saver.wait();
  ASSERT_TRUE(saver.lastOutcome().ok) << saver.lastOutcome().text;
  const std::string path = saver.lastOutcome().path;
  EXPECT_EQ(statusLines(),
            (std::vector<std::string>{"Still saving the last picture", "Saved the picture as " + path}));
  EXPECT_EQ(filesIn(folder), std::vector<std::string>{path.substr(folder.size() + 1)});

  BITMAP* back = load_png(path.c_str(), nullptr);
  ASSERT_NE(nullptr, back);
  ASSERT_EQ(back->w, 1600);
  ASSERT_EQ(back->h, 1600);
  int differing = 0;
  for (int y = 0; y < 1600; ++y)
    for (int x = 0; x < 1600; ++x) differing += getpixel(back, x, y) != getpixel(canvas, x, y);
  destroy_bitmap(back);
  EXPECT_EQ(differing, 0);
}

TEST_F(PictureSaverTest, NamesFollowTheLocalTimeAndNeverReplaceAPicture) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(PictureSaver::baseName(1709251198), "brelvin-20240229-235958");
  setenv("TZ", "JST-9", 1);  // nine hours ahead: the next day there
  tzset();
  EXPECT_EQ(PictureSaver::baseName(1709251198), "brelvin-20240301-085958");
  unsetenv("TZ");
  tzset();

  const std::string base = "brelvin-20240229-235958";
  std::ofstream(tmp + "/" + base + ".png") << "someone's picture";
  paint(1600, 1600);
  EXPECT_EQ(PictureSaver::write(canvas, tmp, base).path, tmp + "/" + base + "-2.png");
  EXPECT_EQ(PictureSaver::write(canvas, tmp, base).path, tmp + "/" + base + "-3.png");
  std::ifstream kept(tmp + "/" + base + ".png");
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "someone's picture");
}

TEST_F(PictureSaverTest, FailuresAreStatusLinesAndTheNextSaveWorks) {
  // Permission bits do not stop root, but the system's own folders do.
  std::string locked = tmp + "/locked";
  ASSERT_EQ(0, mkdir(locked.c_str(), 0555));
  std::string folder = locked + "/pictures";
  if (geteuid() == 0) folder = "/sys/brelvin-pictures";
  PictureSaver refused(folder);
  EXPECT_FALSE(refused.saveNow(paint(1600, 1600)).ok);
  EXPECT_EQ(statusLines(), std::vector<std::string>{"Couldn't save the picture: the folder " + folder + " is not writable"});

  // Writes that stop half-way (a full disk, here a file size limit) leave
  // no picture, though the add-on itself reports success for them.
  PictureSaver saver(tmp + "/pictures");
  rlimit before;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &before));
  rlimit small = before;
  small.rlim_cur = 64 * 1024;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  const PictureSaver::Outcome cut = saver.saveNow(canvas);
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(cut.ok);
  EXPECT_EQ(cut.text, "Couldn't save the picture: the file could not be written whole");
  EXPECT_TRUE(filesIn(tmp + "/pictures").empty());

  EXPECT_TRUE(saver.saveNow(canvas).ok);
}

}  // namespace
