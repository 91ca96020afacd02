// A host's own saves: a save killed after any of its steps leaves a whole
// picture under the name (the old one or the new one), and the autosave
// writes only a canvas that changed, on its schedule and when the session ends.

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllegWorker.h"
#include "Autosave.h"
#include "DEngine.h"
#include "DTime.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "PictureLoader.h"
#include "PictureSaver.h"
#include "WorldMap.h"

#include <allegro.h>
#include <loadpng.h>

namespace {

PictureSaver::Step stopAt;
void killHere(PictureSaver::Step step) {
  if (step == stopAt) raise(SIGKILL);
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// The colour of the picture's first pixel, -1 unless the file is a whole
// picture of one colour.
int colourOf(const std::string& path) {
  PictureLoader check(path);
  if (!check.open()) return -1;
  BITMAP* picture = load_png(path.c_str(), nullptr);
  if (!picture) return -1;
  int colour = getpixel(picture, 0, 0);
  for (int y = 0; y < picture->h && colour >= 0; y += 7)
    for (int x = 0; x < picture->w; x += 7)
      if (getpixel(picture, x, y) != colour) colour = -1;
  destroy_bitmap(picture);
  return colour;
}

class AutosaveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    AllegWorker::initHeadless();
    KivSettings::setFlushFrequency("15");
  }
  void SetUp() override {
    char pattern[] = "/tmp/brelvin-autosave-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    tmp = pattern;
    testing::internal::CaptureStdout();
  }
  void TearDown() override {
    testing::internal::GetCapturedStdout();
    std::system(("rm -rf '" + tmp + "'").c_str());
  }
  std::string tmp;
};

TEST_F(AutosaveTest, ASaveKilledAfterAnyStepLeavesAWholePicture) {
  BITMAP* before = create_bitmap(1600, 1600);
  BITMAP* after = create_bitmap(1600, 1600);
  clear_to_color(before, makecol(252, 0, 0));
  clear_to_color(after, makecol(0, 0, 252));
  const std::string path = tmp + "/autosave-x.png";
  const struct {
    PictureSaver::Step step;
    BITMAP* left;
  } cases[] = {{PictureSaver::PART_WRITTEN, before},
               {PictureSaver::PART_ON_DISK, before},
               {PictureSaver::NAMED, after},
               {PictureSaver::FOLDER_ON_DISK, after}};
  for (const auto& c : cases) {
    ASSERT_TRUE(PictureSaver::replace(before, tmp, "autosave-x").ok);
    stopAt = c.step;
    const pid_t writer = fork();
    if (writer == 0) {
      PictureSaver::afterStep = killHere;
      PictureSaver::replace(after, tmp, "autosave-x");
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(writer, waitpid(writer, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << c.step;
    EXPECT_EQ(getpixel(c.left, 0, 0), colourOf(path)) << c.step;
    EXPECT_EQ(path, PictureLoader::newestIn(tmp)) << c.step;
  }
  destroy_bitmap(before);
  destroy_bitmap(after);
  // The killed writers' part files go when an autosave of that name begins.
  EXPECT_EQ(3u, namesIn(tmp).size());  // two writers died before naming theirs
  libkorvet::DEngine engine;
  WorldMap map;
  Autosave autosave(&engine, tmp);
  autosave.begin("x", 60, map);
  EXPECT_EQ(std::vector<std::string>{"autosave-x.png"}, namesIn(tmp));
}

TEST_F(AutosaveTest, OnlyAChangedCanvasIsSavedOnItsScheduleAndAtTheEnd) {
  EXPECT_EQ("autosave-Sunday_sketch_2_", Autosave::fileBase("Sunday sketch/2?"));
  libkorvet::DTime::setManualClock(true);
  libkorvet::DEngine engine;
  WorldMap map;
  NetSystem net(&engine);
  net.setSessionPort(0);
  ASSERT_TRUE(net.hostNewGame(1600, 1600, &map)) << net.getErrMsg();
  Autosave autosave(&engine, tmp + "/pictures");
  autosave.begin("Sunday sketch", 60, map);
  const std::string path = tmp + "/pictures/autosave-Sunday_sketch.png";
  // Runs the loop for seconds of the engine's clock, then until any save has ended.
  auto run = [&](int seconds) {
    for (int t = 0; t < seconds * 10; ++t) {
      libkorvet::DTime::advanceManualClock(100);
      engine.update(-1);
      autosave.tick(map);
    }
    autosave.end(map);  // waits for a save still running, and saves what changed
    autosave.begin("Sunday sketch", 60, map);
  };
  auto paint = [&](int colour) { map.drawRect(0, 0, 1599, 1599, colour); };

  run(120);
  EXPECT_TRUE(namesIn(tmp + "/pictures").empty());  // a blank canvas that never changed
  paint(10);
  for (int t = 0; t < 590; ++t) {
    libkorvet::DTime::advanceManualClock(100);
    engine.update(-1);
    autosave.tick(map);
  }
  EXPECT_NE(0, access(path.c_str(), F_OK));  // not before its minute
  run(2);
  EXPECT_EQ(getpixel(WorldMap::getMapBuffer(), 50, 50), colourOf(path)) << autosave.lastOutcome().text;
  struct stat first;
  ASSERT_EQ(0, stat(path.c_str(), &first));
  EXPECT_EQ(std::vector<std::string>{"autosave-Sunday_sketch.png"}, namesIn(tmp + "/pictures"));

  // Unchanged: the file stays as it was; changed: the end of the session saves it.
  run(61);
  struct stat again;
  ASSERT_EQ(0, stat(path.c_str(), &again));
  EXPECT_EQ(first.st_ino, again.st_ino);
  paint(20);
  autosave.finish(map);
  EXPECT_EQ(getpixel(WorldMap::getMapBuffer(), 50, 50), colourOf(path));
  EXPECT_FALSE(autosave.isRunning());
  libkorvet::DTime::setManualClock(false);
}

}  // namespace
