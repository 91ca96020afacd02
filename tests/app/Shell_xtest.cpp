// The real program in an X display (run under Xvfb): it opens its window and
// draws, its close button ends it like Exit, and start-up failures are shown
// on standard output and on the screen. Each test runs the program in a
// fresh copy of data/.

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

// Last: Xlib's macros (None, Bool, Status) would break the test framework's names.
#include <X11/Xlib.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// Polls an outside process's effect until it shows or the deadline passes.
bool eventually(double seconds, const std::function<bool()>& done) {
  const auto end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// convert's report on a screenshot of the whole display.
std::string screenshot(const std::string& convertArgs) {
  return shell("xwd -root -silent | convert xwd:- " + convertArgs + " 2>/dev/null");
}
std::string pixelAt(int x, int y) {
  return screenshot("-format '%[hex:p{" + std::to_string(x) + "," + std::to_string(y) + "}]' info:");
}
bool screenHasColour(const std::string& hex) {
  return screenshot("-unique-colors -depth 8 txt:-").find("#" + hex) != std::string::npos;
}

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
    char pattern[] = "/tmp/brelvin-shell-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    tmp = pattern;
    run = tmp + "/data";
    ASSERT_EQ(std::system(("cp -r '" BRELVIN_SOURCE_DIR "/data' '" + run + "'").c_str()), 0);
    haveDatafile = std::ifstream((run + "/hoard.dat").c_str()).good();
  }
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (!tmp.empty()) std::system(("rm -rf '" + tmp + "'").c_str());
  }

  void requireDatafile() {
    if (!haveDatafile) GTEST_SKIP() << "data/hoard.dat is not there yet; the program cannot start without its fonts";
  }

  void writeConfig(const std::string& text) { std::ofstream((run + "/kivsettings.cfg").c_str()) << text; }

  void start() {
    const std::string binary = BRELVIN_BINARY_DIR "/brelvin";
    ASSERT_EQ(access(binary.c_str(), X_OK), 0) << "build the brelvin target first: " << binary;
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (chdir(run.c_str()) != 0) _exit(127);
      if (!freopen((tmp + "/stdout.txt").c_str(), "w", stdout)) _exit(127);
      if (!freopen((tmp + "/stderr.txt").c_str(), "w", stderr)) _exit(127);
      execl(binary.c_str(), "brelvin", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  std::string output() { return readFile(tmp + "/stdout.txt"); }
  bool printed(const std::string& text, double seconds) {
    return eventually(seconds, [&] { return output().find(text) != std::string::npos; });
  }

  // The exit status, or -1 if the program is still running at the deadline.
  int waitExit(double seconds) {
    int status = 0;
    bool ended = eventually(seconds, [&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }

  unsigned long findWindow(double seconds) {
    unsigned long window = 0;
    eventually(seconds, [&] {
      window = std::strtoul(shell("xdotool search --name '^Brelvin$' 2>/dev/null").c_str(), nullptr, 10);
      return window != 0;
    });
    return window;
  }

  std::string tmp, run;
  bool haveDatafile = false;
  pid_t pid = -1;
};

const char* const GOOD_OPTIONS =
    "%UPDATE_FREQUENCY\n>15\n\n%SYNC_BANDWIDTH\n>65535\n\n%X_RESOLUTION\n>800\n\n%Y_RESOLUTION\n>600\n\n"
    "%PREVIOUS_PLAYER_NAME\n>p\n\n%PREVIOUS_GAME_NAME\n>g\n\n%PREVIOUS_INPUT_ADDRESS\n>127.0.0.1\n\n";

TEST_F(ShellTest, OpensTheWindowDrawsAndClosesLikeExit) {
  requireDatafile();
  start();
  ASSERT_TRUE(printed("Initialized graphics\n", 30)) << output();
  unsigned long window = findWindow(10);
  ASSERT_NE(window, 0u);
  // The delivered options give a 1024 x 768 window: the main menu over the
  // empty canvas's background.
  EXPECT_TRUE(eventually(10, [] { return pixelAt(100, 600) == "002010" && pixelAt(1023, 767) == "002010"; }));

  ASSERT_TRUE(sendWindowClose(window));
  EXPECT_EQ(waitExit(30), 0) << output();
  const std::string out = output();
  EXPECT_EQ(out.substr(0, 28), "Using SWITCH_BACKGROUND mode");
  ASSERT_GE(out.size(), 16u);
  EXPECT_EQ(out.substr(out.size() - 16), "Program Halted.\n");
  const bool havePicture = std::ifstream((run + "/graphics/screens/shut_down.jpg").c_str()).good();
  EXPECT_EQ(out.find("Coudln't load ./graphics/screens/shut_down.jpg\n") != std::string::npos, !havePicture) << out;
  EXPECT_EQ(readFile(run + "/kivsettings.cfg"), readFile(BRELVIN_SOURCE_DIR "/data/kivsettings.cfg"));
}

TEST_F(ShellTest, ExitButtonShowsTheExitPictureAndEnds) {
  requireDatafile();
  start();
  ASSERT_TRUE(printed("Initialized graphics\n", 30)) << output();
  ASSERT_NE(findWindow(10), 0u);
  // The main menu's last button, "Exit", spans y 292 to 292 + its height,
  // centred; a new menu ignores clicks for its first half second.
  int status = -1;
  eventually(30, [&] {
    shell("xdotool mousemove 512 305 click 1 2>/dev/null");
    return (status = waitExit(0.5)) != -1;
  });
  EXPECT_EQ(status, 0) << output();
  const std::string out = output();
  ASSERT_GE(out.size(), 16u);
  EXPECT_EQ(out.substr(out.size() - 16), "Program Halted.\n");
  const bool havePicture = std::ifstream((run + "/graphics/screens/shut_down.jpg").c_str()).good();
  EXPECT_EQ(out.find("Coudln't load") != std::string::npos, !havePicture) << out;
}

TEST_F(ShellTest, StrokeLeftOfACanvasNarrowerThanTheScreenIsPaintedAtItsEdge) {
  requireDatafile();
  // A 1700-pixel window over the 1600-pixel canvas: the view starts 100
  // pixels left of the canvas, so the leftmost screen pixels lie at negative
  // canvas positions.
  writeConfig("%UPDATE_FREQUENCY\n>15\n\n%SYNC_BANDWIDTH\n>65535\n\n%X_RESOLUTION\n>1700\n\n%Y_RESOLUTION\n>1300\n\n"
              "%WINDOW_MODE\n>Windowed\n\n%PREVIOUS_PLAYER_NAME\n>p\n\n%PREVIOUS_GAME_NAME\n>g\n\n");
  start();
  ASSERT_TRUE(printed("Initialized graphics\n", 30)) << output();
  // Menus are told apart with the pointer out of the way: the main menu has
  // a bright button at (850, 166) and nothing at (810, 345); the host menu a
  // dark name field and its "Cancel" button there. Its "Start" sits where
  // the main menu has "Exit", so it is only clicked while the host menu shows.
  auto bright = [](int x, int y) {
    const std::string hex = pixelAt(x, y);
    return hex.size() == 6 && hex != "002010" && (hex[0] >= '4' || hex[2] >= '4' || hex[4] >= '4');
  };
  auto hostMenu = [&] { return !bright(850, 166) && bright(810, 345); };
  shell("xdotool mousemove 5 700");
  ASSERT_TRUE(eventually(10, [&] { return bright(850, 166); }));
  ASSERT_TRUE(eventually(10, [&] {
    shell("xdotool mousemove 850 166 click 1 mousemove 5 700");
    return eventually(1, hostMenu);
  }));
  bool hosting = false;
  eventually(10, [&] {
    if (!hostMenu()) return true;
    shell("xdotool mousemove 850 310 click 1 mousemove 5 700");
    return hosting = printed("Using EDC bandwidth", 1);
  });
  // The session port is shared with the session tests; an error menu here means it was taken.
  if (!hosting && bright(810, 300) && !bright(810, 345)) GTEST_SKIP() << "port 5050 is in use: " << output();
  ASSERT_TRUE(hosting) << output();

  shell("xdotool mousemove 5 100 mousedown 1 sleep 0.3 mousemove 40 120 sleep 0.3 mouseup 1");
  // Colour 1, dark grey, on the canvas's left column (screen x 100).
  EXPECT_TRUE(eventually(10, [] { return pixelAt(100, 110) == "3C3C3C"; }));
  EXPECT_EQ(waitExit(0.5), -1) << output();
  ASSERT_TRUE(sendWindowClose(findWindow(10)));
  EXPECT_EQ(waitExit(30), 0) << output();
}

TEST_F(ShellTest, MissingDatafileIsShownAndEndsTheProgram) {
  std::remove((run + "/hoard.dat").c_str());
  start();
  ASSERT_TRUE(printed("Couldn't open hoard.h\n", 30)) << output();
  // Drawn in bright cyan during the five-second pause.
  EXPECT_TRUE(eventually(4, [] { return screenHasColour("00FFFF"); }));
  EXPECT_EQ(waitExit(30), 255);
  EXPECT_EQ(output(), "Using SWITCH_BACKGROUND mode\nCouldn't open hoard.h\nProgram Halted.\n");
}

TEST_F(ShellTest, UnparsableOptionIsShownUntilAKeyIsPressed) {
  requireDatafile();
  writeConfig(std::string("%UPDATE_FREQUENCY\n>abc\n\n%WINDOW_MODE\n>Windowed\n\n") + GOOD_OPTIONS);
  start();
  ASSERT_TRUE(printed("Hit any key to exit\n", 30)) << output();
  EXPECT_EQ(output(), "Using SWITCH_BACKGROUND mode\nUpdates/Sec must be an integer\nHit any key to exit\n");
  // The reason in bright red, the prompt in light grey.
  EXPECT_TRUE(eventually(5, [] { return screenHasColour("FF0000") && screenHasColour("CFCFCF"); }));
  EXPECT_EQ(waitExit(0.5), -1);  // still waiting for the key

  unsigned long window = findWindow(10);
  ASSERT_NE(window, 0u);
  shell("xdotool windowfocus " + std::to_string(window) + " key space 2>/dev/null");
  EXPECT_EQ(waitExit(30), 0);
  EXPECT_EQ(output(), "Using SWITCH_BACKGROUND mode\nUpdates/Sec must be an integer\nHit any key to exit\nProgram Halted.\n");
}

TEST_F(ShellTest, MissingIdentifierEndsWithTheReadersText) {
  requireDatafile();
  writeConfig(GOOD_OPTIONS);  // no WINDOW_MODE
  start();
  EXPECT_EQ(waitExit(30), EXIT_FAILURE);
  EXPECT_EQ(output(), "Using SWITCH_BACKGROUND mode\nConfigWriter couldn't find WINDOW_MODE in file ./kivsettings.cfg\n");
}

}  // namespace
