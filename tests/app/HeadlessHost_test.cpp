// The headless host as a user runs it: bad arguments get the usage text and
// status 2; a session with a client that paints and chats ends on SIGTERM
// with a last save whose picture equals the client's copy of the canvas.

#include <dirent.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllegWorker.h"
#include "HeadlessSession.h"
#include "KivClient.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "WorldMap.h"

#include <allegro.h>
#include <loadpng.h>

namespace {

const std::string HOST = BRELVIN_BINARY_DIR "/brelvin-host";

std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The host, through a shell that tells its process id and then becomes the
// host; its standard input is ours to write, its output goes to files.
struct HostProcess {
  FILE* input = nullptr;
  pid_t pid = -1;
  HostProcess(const std::string& args, const std::string& dir) {
    input = popen(("echo $$ > '" + dir + "/pid'; exec '" + HOST + "' " + args + " > '" + dir + "/host.log' 2> '" +
                   dir + "/host.err'")
                      .c_str(),
                  "w");
    for (auto start = std::chrono::steady_clock::now();
         pid <= 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(10);)
      pid = std::atoi(readFile(dir + "/pid").c_str());
  }
  ~HostProcess() {
    if (pid > 0) kill(pid, SIGKILL);
    if (input != nullptr) pclose(input);
  }
  // The exit status once it has ended, -1 while it runs.
  int ended() {
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }
};

class HeadlessHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    AllegWorker::initHeadless();
    KivSettings::setFlushFrequency("15");  // as the host and the delivered settings
  }
  void SetUp() override {
    ASSERT_EQ(0, access(HOST.c_str(), X_OK)) << "build the brelvin-host target first";
    char pattern[] = "/tmp/brelvin-host-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    tmp = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + tmp + "'").c_str()); }
  std::string tmp;
};

TEST_F(HeadlessHostTest, BadArgumentsGetTheUsageAndStatus2) {
  for (const char* args : {"", "1600 1599", "1600 1600 --bandwidth 0", "1600 1600 --password-file /nonexistent"}) {
    const int status = std::system(("'" + HOST + "' " + args + " 2> '" + tmp + "/err'").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args;
    EXPECT_NE(readFile(tmp + "/err").find("usage: brelvin-host (WIDTH HEIGHT"), std::string::npos) << args;
  }
}

TEST_F(HeadlessHostTest, ThePictureGivesTheCanvasOrStatus2) {
  const std::string err = tmp + "/err";
  for (const std::string& args : {"--picture '" + tmp + "/none.png'", "--resume --pictures '" + tmp + "/empty'"}) {
    const int status = std::system(("'" + HOST + "' --port 0 " + args + " 2> '" + err + "'").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args;
    EXPECT_NE(readFile(err).find(args[2] == 'p' ? tmp + "/none.png: it does not exist" : tmp + "/empty"),
              std::string::npos)
        << readFile(err);
  }
  // The newest picture of the folder, whatever size the arguments say.
  BITMAP* picture = create_bitmap(1700, 1600);
  clear_bitmap(picture);
  ASSERT_EQ(0, mkdir((tmp + "/pictures").c_str(), 0777));
  ASSERT_EQ(0, save_png((tmp + "/pictures/mine.png").c_str(), picture, nullptr));
  destroy_bitmap(picture);
  HostProcess host("--resume 2000 2000 --port 0 --save-every 0 --pictures '" + tmp + "/pictures'", tmp);
  const std::string hosting = "brelvin-host: hosting a 1700 x 1600 canvas on port ";
  for (auto start = std::chrono::steady_clock::now();
       readFile(tmp + "/host.log").find(hosting) == std::string::npos &&
       std::chrono::steady_clock::now() - start < std::chrono::seconds(30);)
    usleep(20000);
  EXPECT_NE(readFile(tmp + "/host.log").find(" from " + tmp + "/pictures/mine.png\n"), std::string::npos)
      << readFile(tmp + "/host.log");
}

TEST_F(HeadlessHostTest, LastSaveOnSigtermEqualsTheClientsCanvas) {
  const std::string pictures = tmp + "/pictures";
  HostProcess host("1600 1600 --port 0 --save-every 0 --pictures '" + pictures + "' --name keeper", tmp);
  ASSERT_GT(host.pid, 0);

  HeadlessSession client;
  NetSystem& net = client.net();
  auto log = [&] { return readFile(tmp + "/host.log"); };
  // Ticks the client until done() holds, or fails after the deadline or,
  // while the session is wanted, when it fails.
  auto until = [&](int seconds, const std::function<bool()>& done, bool inSession = true) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline || (inSession && !net.netOK())) return false;
      client.waitForTick();
    }
    return true;
  };
  const std::string hosting = "brelvin-host: hosting a 1600 x 1600 canvas on port ";
  ASSERT_TRUE(until(30, [&] { return log().find(hosting) != std::string::npos; })) << log();
  const std::string text = log();
  net.setSessionPort(static_cast<unsigned short>(std::atoi(text.c_str() + text.find(hosting) + hosting.size())));
  net.setHostIP("127.0.0.1");
  net.setPlayerName("painter");
  ASSERT_TRUE(net.joinExistingGame(&client.map()));
  ASSERT_TRUE(until(30, [&] { return net.clientReady(); })) << net.getErrMsg();

  // Strokes of every brush size, one segment a tick, as the game sends them,
  // in colours that have no byte in common with the placeholder's grey.
  const unsigned char fills[] = {5, 10, 15, 20, 25, 35, 40, 45, 50, 55};
  for (int i = 0; i < 24; ++i) {
    const long x = 100 + 50 * i, y = 200 + (i % 5) * 230;
    KivSettings::setBrushSize(static_cast<unsigned char>(i % 4));
    KivSettings::setFillType(fills[i % 10]);
    client.map().applyLineDrawing(x, y, x + 140, y + 90, KivSettings::getBrushSize(), KivSettings::getFillType());
    net.addUDPDrawing(x, y, x + 140, y + 90);
    client.waitForTick();
  }
  net.sendChat("hello host");
  std::fputs("hi painter\n", host.input);
  std::fflush(host.input);

  // Converged once no byte of the placeholder's grey is left (segments are
  // repaired a piece at a time, so a pixel can be grey in one plane only).
  BITMAP* canvas = WorldMap::getMapBuffer();
  RGB entry;
  get_color(KivClient::PLACEHOLDER_COLOR, &entry);
  const unsigned char grey = static_cast<unsigned char>(entry.r << 2);  // the canvas scales 6-bit colours by 4
  bool greeted = false;
  int ticks = 0;
  ASSERT_TRUE(until(180, [&] {
    for (const HeadlessSession::Line& line : client.takeLines())
      greeted = greeted || (line.owner == "keeper" && line.text == "hi painter");
    if (++ticks % 15 != 0 || !greeted) return false;
    for (int y = 0; y < canvas->h; ++y)
      if (std::memchr(canvas->line[y], grey, static_cast<std::size_t>(canvas->w) * 3) != nullptr) return false;
    return true;
  })) << "greeted " << greeted;
  EXPECT_NE(log().find("painter: hello host\n"), std::string::npos) << log();

  ASSERT_EQ(0, kill(host.pid, SIGTERM));
  int status = -1;
  ASSERT_TRUE(until(60, [&] { return (status = host.ended()) != -1; }, false));
  EXPECT_EQ(status, 0) << readFile(tmp + "/host.err");

  std::vector<std::string> saved;
  if (DIR* d = opendir(pictures.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2) saved.push_back(e->d_name);
    closedir(d);
  }
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_NE(log().find("PictureSaver Saved the picture as " + pictures + "/" + saved[0] + "\n"), std::string::npos);
  BITMAP* picture = load_png((pictures + "/" + saved[0]).c_str(), nullptr);
  ASSERT_NE(picture, nullptr);
  ASSERT_TRUE(picture->w == canvas->w && picture->h == canvas->h);
  int differing = 0;
  for (int y = 0; y < canvas->h; ++y)
    for (int x = 0; x < canvas->w; ++x) differing += getpixel(picture, x, y) != getpixel(canvas, x, y);
  destroy_bitmap(picture);
  EXPECT_EQ(differing, 0);
}

TEST_F(HeadlessHostTest, APasswordAndTheCommandsOnStandardInput) {
  std::ofstream(tmp + "/password") << "open sesame\n";
  HostProcess host("1600 1600 --port 0 --save-every 0 --name keeper --password-file '" + tmp + "/password'", tmp);
  ASSERT_GT(host.pid, 0);
  auto log = [&] { return readFile(tmp + "/host.log"); };
  HeadlessSession client;
  NetSystem& net = client.net();
  auto until = [&](int seconds, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      client.waitForTick();
    }
    return true;
  };
  auto type = [&](const std::string& line) {
    std::fputs((line + "\n").c_str(), host.input);
    std::fflush(host.input);
  };
  auto logged = [&](const std::string& text) { return until(30, [&] { return log().find(text) != std::string::npos; }); };
  const std::string hosting = "brelvin-host: hosting a 1600 x 1600 canvas on port ";
  ASSERT_TRUE(logged(hosting)) << log();
  const std::string text = log();
  const unsigned short port = static_cast<unsigned short>(std::atoi(text.c_str() + text.find(hosting) + hosting.size()));
  // Joins as painter with password; false once the session ended.
  auto join = [&](const std::string& password) {
    net.resetVariables();
    client.map().reset();
    net.setSessionPort(port);
    net.setHostIP("127.0.0.1");
    net.setPlayerName("painter");
    net.setJoinPassword(password);
    return net.joinExistingGame(&client.map()) && until(30, [&] { return !net.netOK() || net.clientReady(); }) &&
           net.netOK();
  };
  auto ended = [&] { return until(30, [&] { return !net.netOK(); }); };

  ASSERT_FALSE(join("open sesamE"));
  EXPECT_EQ("Wrong password for 127.0.0.1", net.getErrMsg());
  EXPECT_TRUE(logged("KivServer Refused 127.0.0.1: wrong password\n")) << log();

  ASSERT_TRUE(join("open sesame")) << net.getErrMsg();
  type("/who");
  EXPECT_TRUE(logged("keeper (host)\npainter  127.0.0.1\n")) << log();
  type("/lock");
  EXPECT_TRUE(until(30, [&] { return net.canvasLocked(); }));
  EXPECT_TRUE(logged("The host locked the canvas\n")) << log();
  type("/unlock");
  EXPECT_TRUE(until(30, [&] { return !net.canvasLocked(); }));
  type("/shrug");
  EXPECT_TRUE(logged("keeper: /shrug\n")) << log();

  type("/kick painter");
  ASSERT_TRUE(ended());
  EXPECT_EQ("The host removed you from the session", net.getErrMsg());
  EXPECT_FALSE(net.isReconnecting());
  EXPECT_TRUE(logged("Kicked painter (127.0.0.1)\n")) << log();

  ASSERT_TRUE(join("open sesame")) << net.getErrMsg();
  type("/ban painter");
  ASSERT_TRUE(ended());
  ASSERT_FALSE(join("open sesame"));
  EXPECT_EQ("The host at 127.0.0.1 has banned this address", net.getErrMsg());
  EXPECT_TRUE(logged("KivServer Refused 127.0.0.1: banned\n")) << log();
  type("/unban 127.0.0.1");
  EXPECT_TRUE(logged("Unbanned 127.0.0.1\n")) << log();
  EXPECT_TRUE(join("open sesame")) << net.getErrMsg();
  // Nothing of the password reached the output.
  EXPECT_EQ(std::string::npos, log().find("sesame"));
}

}  // namespace
