// The real program in an X display (run under Xvfb): it opens its window and
// draws, its close button ends it like Exit, and start-up failures are shown
// on standard output and on the screen. Each test runs the program in a
// fresh copy of data/.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ProgramUnderX.h"

// Last: Xlib's macros (None, Bool, Status) would break the test framework's names.
#include <X11/Xlib.h>

namespace {

using namespace underx;

// What the window manager sends when the close button is pressed.
bool sendWindowClose(unsigned long window) {
  void* x11 = dlopen("libX11.so.6", RTLD_NOW);
  if (x11 == nullptr) return false;
  auto openDisplay = reinterpret_cast<Display* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
  auto internAtom = reinterpret_cast<Atom (*)(Display*, const char*, Bool)>(dlsym(x11, "XInternAtom"));
  auto sendEvent = reinterpret_cast<Status (*)(Display*, Window, Bool, long, XEvent*)>(dlsym(x11, "XSendEvent"));
  auto closeDisplay = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XCloseDisplay"));
  bool sent = false;
  if (openDisplay && internAtom && sendEvent && closeDisplay) {
    if (Display* d = openDisplay(nullptr)) {
      XEvent e = {};
      e.xclient.type = ClientMessage;
      e.xclient.window = window;
      e.xclient.message_type = internAtom(d, "WM_PROTOCOLS", False);
      e.xclient.format = 32;
      e.xclient.data.l[0] = static_cast<long>(internAtom(d, "WM_DELETE_WINDOW", False));
      e.xclient.data.l[1] = CurrentTime;
      sent = sendEvent(d, window, False, NoEventMask, &e) != 0;
      closeDisplay(d);  // flushes the request
    }
  }
  dlclose(x11);
  return sent;
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (these tests run under xvfb-run)";
    ASSERT_FALSE(prog.run.empty());
  }
  void requireDatafile() {
    if (access((prog.run + "/hoard.dat").c_str(), R_OK) != 0) GTEST_SKIP() << "data/hoard.dat is not there yet; the program cannot start without its fonts";
  }
  void start() { ASSERT_TRUE(prog.start()) << "build the brelvin target first: " << Program::binary(); }
  unsigned int pixelAt(int x, int y) { return prog.shot().at(x, y); }
  // The output ends like every exit's, and names the exit picture only if data/ lacks it.
  void expectHaltedAfterExitPicture(const std::string& missingPicture) {
    const std::string out = prog.output();
    ASSERT_GE(out.size(), 16u);
    EXPECT_EQ(out.substr(out.size() - 16), "Program Halted.\n");
    const bool havePicture = std::ifstream((prog.run + "/graphics/screens/shut_down.jpg").c_str()).good();
    EXPECT_EQ(out.find(missingPicture) != std::string::npos, !havePicture) << out;
  }

  Program prog;
};

const char* const GOOD_OPTIONS =
    "%UPDATE_FREQUENCY\n>15\n\n%SYNC_BANDWIDTH\n>65535\n\n%X_RESOLUTION\n>800\n\n%Y_RESOLUTION\n>600\n\n"
    "%PREVIOUS_PLAYER_NAME\n>p\n\n%PREVIOUS_GAME_NAME\n>g\n\n%PREVIOUS_INPUT_ADDRESS\n>127.0.0.1\n\n";

TEST_F(ShellTest, OpensTheWindowDrawsAndClosesLikeExit) {
  requireDatafile();
  start();
  ASSERT_TRUE(prog.printed("Initialized graphics\n", 30)) << prog.output();
  unsigned long window = prog.findWindow(10);
  ASSERT_NE(window, 0u);
  // The delivered options give a 1024 x 768 window: the main menu over the
  // empty canvas's background.
  EXPECT_TRUE(eventually(10, [&] { return pixelAt(100, 600) == 0x002010 && pixelAt(1023, 767) == 0x002010; }));

  ASSERT_TRUE(sendWindowClose(window));
  EXPECT_EQ(prog.waitExit(30), 0) << prog.output();
  const std::string out = prog.output();
  EXPECT_EQ(out.substr(0, 28), "Using SWITCH_BACKGROUND mode");
  expectHaltedAfterExitPicture("Coudln't load ./graphics/screens/shut_down.jpg\n");
  EXPECT_EQ(readFile(prog.configPath()), readFile(BRELVIN_SOURCE_DIR "/data/kivsettings.cfg"));
}

TEST_F(ShellTest, ExitButtonShowsTheExitPictureAndEnds) {
  requireDatafile();
  start();
  ASSERT_TRUE(prog.printed("Initialized graphics\n", 30)) << prog.output();
  ASSERT_NE(prog.findWindow(10), 0u);
  // The main menu's last button, "Exit", spans y 292 to 292 + its height,
  // centred; a new menu ignores clicks for its first half second.
  int status = -1;
  eventually(30, [&] {
    prog.xdo("mousemove 512 305 click 1");
    return (status = prog.waitExit(0.5)) != -1;
  });
  EXPECT_EQ(status, 0) << prog.output();
  expectHaltedAfterExitPicture("Coudln't load");
}

TEST_F(ShellTest, StrokeInTheMarginOfACanvasNarrowerThanTheScreenIsClippedToTheCanvas) {
  requireDatafile();
  // A 1700-pixel window over the 1600-pixel canvas: the view starts 100
  // pixels left of the canvas, so the leftmost screen pixels lie at negative
  // canvas positions.
  prog.writeConfig("%UPDATE_FREQUENCY\n>15\n\n%SYNC_BANDWIDTH\n>65535\n\n%X_RESOLUTION\n>1700\n\n%Y_RESOLUTION\n>1300\n\n"
                   "%WINDOW_MODE\n>Windowed\n\n%PREVIOUS_PLAYER_NAME\n>p\n\n%PREVIOUS_GAME_NAME\n>g\n\n");
  start();
  ASSERT_TRUE(prog.printed("Initialized graphics\n", 30)) << prog.output();
  // Menus are told apart with the pointer out of the way: the main menu has
  // a bright button at (850, 166) and nothing at (810, 393); the host menu a
  // dark name field and its "Start" button there. "Start" is only clicked
  // while the host menu shows.
  auto bright = [&](int x, int y) {
    const unsigned int c = pixelAt(x, y);
    return c <= 0xFFFFFF && c != 0x002010 && ((c >> 16) >= 0x40 || ((c >> 8) & 0xFF) >= 0x40 || (c & 0xFF) >= 0x40);
  };
  auto hostMenu = [&] { return !bright(850, 166) && bright(810, 393); };
  prog.xdo("mousemove 5 700");
  ASSERT_TRUE(eventually(10, [&] { return bright(850, 166); }));
  ASSERT_TRUE(eventually(10, [&] {
    prog.xdo("mousemove 850 166 click 1 mousemove 5 700");
    return eventually(1, hostMenu);
  }));
  bool hosting = false;
  eventually(10, [&] {
    if (!hostMenu()) return true;
    prog.xdo("mousemove 850 406 click 1 mousemove 5 700");
    return hosting = prog.printed("Using EDC bandwidth", 1);
  });
  // The session port is shared with the session tests; an error menu here means it was taken.
  if (!hosting && bright(810, 300) && !bright(810, 345)) GTEST_SKIP() << "port 5050 is in use: " << prog.output();
  ASSERT_TRUE(hosting) << prog.output();

  // A zig-zag in the margin, then on into the canvas.
  prog.xdo("mousemove 5 100 mousedown 1 sleep 0.3 mousemove 60 110 sleep 0.3 mousemove 10 120 sleep 0.3 "
           "mousemove 150 160 sleep 0.3 mouseup 1");
  // Colour 1, dark grey, where the last segment crosses the canvas (from its
  // left column, screen x 100, at y 146). A slow build may see the press
  // only where the drag already is, so any point of that part will do.
  auto painted = [](const Shot& s, int x0, int y0, int x1, int y1) { return s.count(x0, y0, x1, y1, 0x3C3C3C) > 0; };
  EXPECT_TRUE(eventually(10, [&] { return painted(prog.shot(), 100, 140, 152, 163); }));
  // The margin's part is not drawn on the canvas's edge.
  EXPECT_FALSE(painted(prog.shot(), 100, 90, 104, 135));
  EXPECT_EQ(prog.waitExit(0.5), -1) << prog.output();
  ASSERT_TRUE(sendWindowClose(prog.findWindow(10)));
  EXPECT_EQ(prog.waitExit(30), 0) << prog.output();
}

TEST_F(ShellTest, MissingDatafileIsShownAndEndsTheProgram) {
  std::remove((prog.run + "/hoard.dat").c_str());
  start();
  ASSERT_TRUE(prog.printed("Couldn't open hoard.h\n", 30)) << prog.output();
  // Drawn in bright cyan during the five-second pause.
  EXPECT_TRUE(eventually(4, [&] { return prog.shot().has(0x00FFFF); }));
  EXPECT_EQ(prog.waitExit(30), 255);
  EXPECT_EQ(prog.output(), "Using SWITCH_BACKGROUND mode\nCouldn't open hoard.h\nProgram Halted.\n");
}

TEST_F(ShellTest, UnparsableOptionIsShownUntilAKeyIsPressed) {
  requireDatafile();
  prog.writeConfig(std::string("%UPDATE_FREQUENCY\n>abc\n\n%WINDOW_MODE\n>Windowed\n\n") + GOOD_OPTIONS);
  start();
  ASSERT_TRUE(prog.printed("Hit any key to exit\n", 30)) << prog.output();
  EXPECT_EQ(prog.output(), "Using SWITCH_BACKGROUND mode\nUpdates/Sec must be an integer\nHit any key to exit\n");
  // The reason in bright red, the prompt in light grey.
  EXPECT_TRUE(eventually(5, [&] {
    const Shot s = prog.shot();
    return s.has(0xFF0000) && s.has(0xCFCFCF);
  }));
  EXPECT_EQ(prog.waitExit(0.5), -1);  // still waiting for the key

  unsigned long window = prog.findWindow(10);
  ASSERT_NE(window, 0u);
  prog.xdo("windowfocus " + std::to_string(window) + " key space");
  EXPECT_EQ(prog.waitExit(30), 0);
  EXPECT_EQ(prog.output(), "Using SWITCH_BACKGROUND mode\nUpdates/Sec must be an integer\nHit any key to exit\nProgram Halted.\n");
}

TEST_F(ShellTest, MissingIdentifierEndsWithTheReadersText) {
  requireDatafile();
  prog.writeConfig(GOOD_OPTIONS);  // no WINDOW_MODE
  start();
  EXPECT_EQ(prog.waitExit(30), EXIT_FAILURE);
  EXPECT_EQ(prog.output(), "Using SWITCH_BACKGROUND mode\nConfigWriter couldn't find WINDOW_MODE in file ./kivsettings.cfg\n");
}

}  // namespace
