// Hosting from a picture: a picture Brelvin saved comes back byte for byte,
// other colours become the palette's with a status line, every bad file is
// refused with its name, and the newest whole picture of a folder is found.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllegWorker.h"
#include "DEngine.h"
#include "KivServer.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "PictureLoader.h"
#include "PictureSaver.h"
#include "SyncDataMap.h"
#include "SyncServer.h"
#include "WorldMap.h"

#include <allegro.h>
#include <loadpng.h>

namespace {

std::vector<unsigned int> crcsOf(NetSystem& net) {
  libksync::SyncDataMap* data = net.getServer()->getSyncServer()->retrieveDataMap();
  std::vector<unsigned int> crcs;
  for (unsigned short s = 0; s < data->getNumSegments(); ++s) crcs.push_back(data->getCRC(s));
  return crcs;
}

std::vector<std::string> statusLines() {
  std::vector<std::string> lines;
  std::string owner, text;
  int color = 0;
  while (KivSettings::getChatMessage(owner, text, color))
    if (color == 80) lines.push_back(owner + " " + text);
  return lines;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path.c_str(), std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A PNG's signature, an IHDR of the size (8-bit RGB), one IDAT and the end;
// the chunks' CRCs are left zero.
std::string pngOf(unsigned int w, unsigned int h, const std::string& idat) {
  auto u32 = [](unsigned int v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    return u32(static_cast<unsigned int>(data.size())) + type + data + u32(0);
  };
  const std::string end("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
  return std::string("\x89PNG\r\n\x1A\n", 8) + chunk("IHDR", u32(w) + u32(h) + std::string("\x08\x02\0\0\0", 5)) +
         chunk("IDAT", idat) + end;
}

class PictureLoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    AllegWorker::initHeadless();
    KivSettings::setFlushFrequency("15");
  }
  void SetUp() override {
    char pattern[] = "/tmp/brelvin-loader-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    tmp = pattern;
    net.setSessionPort(0);
    testing::internal::CaptureStdout();
  }
  void TearDown() override {
    net.resetVariables();
    map.reset();
    testing::internal::GetCapturedStdout();
    std::system(("rm -rf '" + tmp + "'").c_str());
  }
  PictureLoader::HostResult host(const std::string& path) {
    net.resetVariables();
    map.reset();
    statusLines();
    return PictureLoader::host(path, net, map, error);
  }

  std::string tmp, error;
  libkorvet::DEngine engine;
  WorldMap map;
  NetSystem net{&engine};
};

TEST_F(PictureLoaderTest, SavedPicturesComeBackExactAndOtherColoursAreMapped) {
  // Edge blocks reach past a width that is no multiple of 100; every palette
  // colour and each brush size.
  ASSERT_TRUE(net.hostNewGame(1650, 1720, &map)) << net.getErrMsg();
  for (int c = 0; c <= 100; ++c)
    map.applyLineDrawing(16 * c, 10 + 7 * c, 1649 - 3 * c, 1719 - 11 * c, static_cast<unsigned char>(c % 4),
                         static_cast<unsigned char>(c));
  const std::vector<unsigned int> painted = crcsOf(net);
  const PictureSaver::Outcome saved = PictureSaver::write(WorldMap::getMapBuffer(), tmp, "saved");
  ASSERT_TRUE(saved.ok) << saved.text;

  ASSERT_EQ(PictureLoader::HOSTED, host(saved.path)) << error;
  EXPECT_EQ(1650, map.getPixelWidth());
  EXPECT_EQ(1720, map.getPixelHeight());
  EXPECT_EQ(painted, crcsOf(net));
  EXPECT_TRUE(statusLines().empty());

  // A picture made elsewhere: a palette red stays, a near red becomes it,
  // and a half transparent white shows over the canvas's black.
  BITMAP* foreign = create_bitmap_ex(32, 1600, 1600);
  clear_to_color(foreign, makeacol32(252, 0, 0, 255));
  putpixel(foreign, 5, 5, makeacol32(250, 3, 1, 255));
  putpixel(foreign, 6, 6, makeacol32(255, 255, 255, 128));
  for (int x = 0; x < 256; ++x) putpixel(foreign, x, 100, makeacol32(x, 255 - x, x / 2, 255));
  const std::string path = tmp + "/foreign.png";
  ASSERT_EQ(0, save_png(path.c_str(), foreign, nullptr));
  destroy_bitmap(foreign);
  ASSERT_EQ(PictureLoader::HOSTED, host(path)) << error;
  EXPECT_EQ(std::vector<std::string>{"PictureLoader Colours of " + path + " mapped to the palette"}, statusLines());
  BITMAP* canvas = WorldMap::getMapBuffer();
  EXPECT_EQ(makecol(252, 0, 0), getpixel(canvas, 0, 0));
  EXPECT_EQ(makecol(252, 0, 0), getpixel(canvas, 5, 5));
  RGB grey;
  get_color(2, &grey);  // (27, 27, 27) is the nearest to half of white
  EXPECT_EQ(makecol(grey.r << 2, grey.g << 2, grey.b << 2), getpixel(canvas, 6, 6));
  // Whatever the colour, the canvas holds one of the palette's.
  for (int x = 0; x < 256; ++x) {
    const int pixel = getpixel(canvas, x, 100);
    bool found = false;
    for (int i = 0; i <= 100 && !found; ++i) {
      RGB e;
      get_color(i, &e);
      found = pixel == makecol(e.r << 2, e.g << 2, e.b << 2);
    }
    EXPECT_TRUE(found) << x;
  }
}

TEST_F(PictureLoaderTest, BadFilesAreRefusedWithTheirNames) {
  BITMAP* small = create_bitmap(1200, 1800);
  clear_bitmap(small);
  ASSERT_EQ(0, save_png((tmp + "/small.png").c_str(), small, nullptr));
  destroy_bitmap(small);
  BITMAP* whole = create_bitmap(1600, 1600);
  clear_bitmap(whole);
  ASSERT_EQ(0, save_png((tmp + "/whole.png").c_str(), whole, nullptr));
  destroy_bitmap(whole);
  const std::string bytes = readFile(tmp + "/whole.png");
  writeFile(tmp + "/cut.png", bytes.substr(0, bytes.size() / 2));
  writeFile(tmp + "/notes.png", "my shopping list\n");
  writeFile(tmp + "/wide.png", pngOf(12000, 2000, "x"));
  writeFile(tmp + "/damaged.png", pngOf(1600, 1600, std::string(200, 'x')));
  writeFile(tmp + "/locked.png", bytes);
  chmod((tmp + "/locked.png").c_str(), 0);

  const struct {
    std::string file, text;
  } cases[] = {
      {"missing.png", "Couldn't open the picture P: it does not exist"},
      {"", "Couldn't open the picture P: it is a folder"},
      {"notes.png", "The picture P is not a PNG file"},
      {"cut.png", "The picture P is cut short (a truncated PNG)"},
      {"small.png",
       "The picture P is too small: it is 1200 x 1800 pixels, and a canvas must be at least 1600 pixels wide"},
      {"wide.png",
       "The picture P is too large: it is 12000 x 2000 pixels, and a canvas can be at most 10000 pixels wide"},
      {"damaged.png", "The picture P is damaged: IHDR: CRC error"},
  };
  for (const auto& c : cases) {
    const std::string path = tmp + "/" + c.file;
    std::string expected = c.text;
    expected.replace(expected.find('P'), 1, path);
    EXPECT_EQ(PictureLoader::BAD_PICTURE, host(path)) << c.file;
    EXPECT_EQ(expected, error);
  }
  if (geteuid() != 0) {
    EXPECT_EQ(PictureLoader::BAD_PICTURE, host(tmp + "/locked.png"));
    EXPECT_EQ("Couldn't open the picture " + tmp + "/locked.png: Permission denied", error);
  }
  // A session that cannot start is the session's failure, not the picture's.
  NetSystem other(&engine);
  other.setSessionPort(0);
  ASSERT_TRUE(other.hostNewGame(1600, 1600, &map));
  net.resetVariables();
  net.setSessionPort(other.getListenPort());
  EXPECT_EQ(PictureLoader::NO_SESSION, PictureLoader::host(tmp + "/whole.png", net, map, error));
  other.resetVariables();
}

TEST_F(PictureLoaderTest, TheNewestWholePictureOfAFolder) {
  EXPECT_EQ("", PictureLoader::newestIn(tmp + "/none"));
  BITMAP* canvas = create_bitmap(1600, 1600);
  clear_bitmap(canvas);
  ASSERT_EQ(0, save_png((tmp + "/old.png").c_str(), canvas, nullptr));
  destroy_bitmap(canvas);
  const std::string bytes = readFile(tmp + "/old.png");
  writeFile(tmp + "/newer.png", bytes.substr(0, 100));
  writeFile(tmp + "/.newest.png.part-1", bytes);
  writeFile(tmp + "/notes.txt", bytes);
  const struct timespec times[][2] = {{{100, 0}, {100, 0}}, {{200, 0}, {200, 0}}, {{300, 0}, {300, 0}}};
  utimensat(AT_FDCWD, (tmp + "/old.png").c_str(), times[0], 0);
  utimensat(AT_FDCWD, (tmp + "/newer.png").c_str(), times[1], 0);
  utimensat(AT_FDCWD, (tmp + "/notes.txt").c_str(), times[2], 0);

  std::vector<std::string> skipped;
  EXPECT_EQ(tmp + "/old.png", PictureLoader::newestIn(tmp, &skipped));
  EXPECT_EQ(std::vector<std::string>{"The picture " + tmp + "/newer.png is cut short (a truncated PNG)"}, skipped);
}

}  // namespace
