// The real program losing its X display (the server killed, as a crash or a
// logout does) in the main menu, as a joined client and while hosting, and
// stopped by SIGTERM: it ends within about a second, says why in one line
// and leaves the session port free. Each program runs on a private Xvfb.

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include <gtest/gtest.h>

#include "ProgramUnderX.h"

namespace {

using namespace underx;

const char* const LOST = "Lost the connection to the display\n";
// Generous for a loaded machine: the program itself ends some 20 ms after
// the display goes.
const double PROMPTLY = 2.0;

// Whether a new host could listen on the session port now.
bool sessionPortFree() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(5050);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 1) == 0;
  close(fd);
  return free;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class DisplayLossTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(BRELVIN_SOURCE_DIR "/data/hoard.dat", R_OK) != 0) GTEST_SKIP() << "data/hoard.dat is missing";
    ASSERT_EQ(access(Program::binary().c_str(), X_OK), 0) << "build the brelvin target first";
  }

  // Starts the program and waits for its main menu.
  static void start(Program& p) {
    ASSERT_FALSE(p.display.empty()) << "no private X server";
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.printed("Initialized graphics\n", 30)) << p.output();
    ASSERT_TRUE(eventually(10, [&] { return shown(p) == MAIN; })) << "no main menu";
  }
  // Menus are told apart by a few pixels, the pointer out of the way: the
  // main menu's first button is bright at (600, 155), where both setup menus
  // show a dark name field; only the host setup has a button at (472, 393)
  // ("Start"), and the join setup has "Connect" at (472, 310).
  enum Menu { MAIN, HOST_SETUP, JOIN_SETUP, OTHER };
  static Menu shown(const Program& p) {
    const Shot s = p.shot();
    auto bright = [&](int x, int y) {
      const unsigned int c = s.at(x, y);
      return c <= 0xFFFFFF && c != 0x002010 && ((c >> 16) >= 0x40 || ((c >> 8) & 0xFF) >= 0x40 || (c & 0xFF) >= 0x40);
    };
    if (bright(600, 155)) return MAIN;
    if (bright(472, 393)) return HOST_SETUP;
    return bright(472, 310) ? JOIN_SETUP : OTHER;
  }
  // Clicks at (512, y) while the menu shows, until done. A new menu ignores
  // its first clicks, so one may go unseen.
  static bool clickUntil(const Program& p, Menu menu, int y, const std::function<bool()>& done) {
    return eventually(20, [&] {
      if (shown(p) != menu) return done();
      p.xdo("mousemove 512 " + std::to_string(y) + " click 1 mousemove 5 700");
      return eventually(1, done);
    });
  }
  // "Host New Session", then its "Start".
  static void host(Program& p) {
    ASSERT_TRUE(clickUntil(p, MAIN, 166, [&] { return shown(p) == HOST_SETUP; })) << "no host setup";
    ASSERT_TRUE(clickUntil(p, HOST_SETUP, 406, [&] { return p.printed("Using EDC bandwidth", 0); })) << p.output();
  }
  // "Join Existing Session", then its "Connect" to the remembered 127.0.0.1.
  static void join(Program& p, const Program& host) {
    ASSERT_TRUE(clickUntil(p, MAIN, 214, [&] { return shown(p) == JOIN_SETUP; })) << "no join setup";
    ASSERT_TRUE(clickUntil(p, JOIN_SETUP, 310, [&] { return host.printed("Client joined from 127.0.0.1", 0); }))
        << p.output();
  }

  // Kills the display (as a crash would) and checks the program's end.
  static void loseDisplay(PrivateXvfb& x, Program& p) {
    ASSERT_EQ(p.waitExit(0), -1) << "ended too early:\n" << p.output();
    kill(x.pid, SIGKILL);
    const auto lost = Clock::now();
    const int status = p.waitExit(10);
    const double seconds = secondsSince(lost);
    std::printf("%s ended %.2f s after its display went\n", p.label.c_str(), seconds);
    EXPECT_EQ(status, 1) << p.output();
    EXPECT_LT(seconds, PROMPTLY);
    const std::string out = p.output();
    EXPECT_EQ(occurrences(out, LOST), 1u) << out;
    EXPECT_EQ(out.substr(out.size() - std::string(LOST).size()), LOST) << out;
    EXPECT_EQ(p.sanitizerReport(), "");
  }
};

TEST_F(DisplayLossTest, InTheMainMenu) {
  PrivateXvfb x;
  Program p("menu", x.name);
  start(p);
  loseDisplay(x, p);
}

TEST_F(DisplayLossTest, AsAClientAndWhileHosting) {
  PrivateXvfb hostDisplay, clientDisplay;
  Program hostProgram("host", hostDisplay.name), clientProgram("client", clientDisplay.name);
  start(hostProgram);
  host(hostProgram);
  start(clientProgram);
  join(clientProgram, hostProgram);

  // The client goes; the host notices and goes on.
  loseDisplay(clientDisplay, clientProgram);
  EXPECT_TRUE(hostProgram.printed("KivServer Client disconnected", 10)) << hostProgram.output();

  loseDisplay(hostDisplay, hostProgram);
  EXPECT_TRUE(sessionPortFree());
}

TEST_F(DisplayLossTest, SigtermWhileHostingEndsAsPromptly) {
  PrivateXvfb x;
  Program p("host", x.name);
  start(p);
  host(p);
  kill(p.pid, SIGTERM);
  const auto sent = Clock::now();
  EXPECT_EQ(p.waitExit(10), 1000 + SIGTERM) << p.output();
  EXPECT_LT(secondsSince(sent), PROMPTLY);
  const std::string out = p.output();
  EXPECT_EQ(out.substr(out.size() - 19), "Stopped by SIGTERM\n") << out;
  EXPECT_TRUE(sessionPortFree());
}

}  // namespace
