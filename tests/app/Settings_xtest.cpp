// Screen modes on a real X display (run under Xvfb).

#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "AllegWorker.h"
#include "KivSettings.h"

#include <allegro.h>

namespace {

TEST(KivSettingsScreen, ModeChangesKeepThePaletteColours) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (this test runs under xvfb-run)";
  ASSERT_EQ(install_allegro(SYSTEM_AUTODETECT, &errno, atexit), 0);
  set_color_depth(24);
  PALETTE colors = {};
  AllegWorker::makeColors(colors);
  KivSettings::storePallete(colors);

  ASSERT_TRUE(KivSettings::setResolution("800", "600", "Windowed")) << KivSettings::getErrMsg();
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(SCREEN_W, 800);
  EXPECT_EQ(SCREEN_H, 600);
  EXPECT_EQ(KivSettings::getXResolution(), 800);
  EXPECT_EQ(KivSettings::getYResolution(), 600);
  // The palette's colour table is rebuilt for the pixel format of the mode.
  EXPECT_EQ(palette_color[35], makecol(0, 255, 255));
  EXPECT_EQ(palette_color[30], makecol(255, 4, 255));

  // A refused check leaves the mode alone.
  EXPECT_FALSE(KivSettings::setResolution("1024", "768", "window"));
  EXPECT_EQ(SCREEN_W, 800);

  ASSERT_TRUE(KivSettings::setResolution("640", "480", "Windowed"));
  EXPECT_EQ(SCREEN_W, 640);
  EXPECT_EQ(KivSettings::getYResolution(), 480);
  EXPECT_EQ(palette_color[10], makecol(255, 0, 0));
}

}  // namespace
