#ifndef TESTS_COMMON_PROGRAMUNDERX_H
#define TESTS_COMMON_PROGRAMUNDERX_H

// Runs the real program in an X display: each copy in a fresh copy of data/
// with its standard output in a file, screenshots read back as RGB pixels,
// keyboard input through xdotool, and a private Xvfb for a second display.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace underx {

using Clock = std::chrono::steady_clock;

inline std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Polls another process's effect until it shows or the deadline passes.
inline bool eventually(double seconds, const std::function<bool()>& done) {
  const auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// One screenshot of a whole display, as 0xRRGGBB values; 0xFFFFFFFF off it.
struct Shot {
  int w = 0, h = 0;
  std::vector<unsigned int> px;
  bool valid() const { return w > 0 && h > 0; }
  unsigned int at(int x, int y) const {
    return x < 0 || y < 0 || x >= w || y >= h ? 0xFFFFFFFFu : px[static_cast<size_t>(y) * w + x];
  }
  bool has(unsigned int rgb) const { return std::find(px.begin(), px.end(), rgb) != px.end(); }
  int count(int x0, int y0, int x1, int y1, unsigned int rgb) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += at(x, y) == rgb;
    return n;
  }
  // Whether the rectangles at the same place on both screens are equal.
  bool sameRegion(const Shot& o, int x0, int y0, int x1, int y1, int* differing) const {
    int diff = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) diff += at(x, y) != o.at(x, y);
    *differing = diff;
    return diff == 0 && valid() && o.valid();
  }
};

// Reads convert's binary PPM (P6, maxval 255, comment lines after the magic).
inline Shot parsePpm(const std::string& data) {
  Shot s;
  std::istringstream in(data);
  std::string magic, comment;
  int w = 0, h = 0, maxval = 0;
  in >> magic >> std::ws;
  while (in.peek() == '#') std::getline(in, comment);
  in >> w >> h >> maxval;
  const size_t start = static_cast<size_t>(in.tellg()) + 1;  // one white-space byte ends the header
  if (!in || magic != "P6" || w <= 0 || h <= 0 || maxval != 255 || data.size() < start + size_t(w) * h * 3) return s;
  s.w = w;
  s.h = h;
  s.px.resize(static_cast<size_t>(w) * h);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data()) + start;
  for (size_t i = 0; i < s.px.size(); ++i, p += 3) s.px[i] = (p[0] << 16) | (p[1] << 8) | p[2];
  return s;
}

// A private Xvfb server of 1024 x 768 at 24 bits. The shell tells its own
// process id, which Xvfb takes over, and then Xvfb tells its display number.
class PrivateXvfb {
 public:
  PrivateXvfb() : out(popen("echo $$; exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null", "r")) {
    int number = -1;
    if (out != nullptr && fscanf(out, "%d %d", &pid, &number) == 2) name = ":" + std::to_string(number);
  }
  ~PrivateXvfb() {
    if (pid > 0) kill(pid, SIGTERM);
    if (out != nullptr) pclose(out);
  }
  PrivateXvfb(const PrivateXvfb&) = delete;
  PrivateXvfb& operator=(const PrivateXvfb&) = delete;

  FILE* out;
  pid_t pid = -1;
  std::string name;  // empty if the server did not start
};

// One copy of the program: its own working directory (a copy of data/), its
// display, its standard output and error in files. Killed when it goes.
class Program {
 public:
  explicit Program(const std::string& label = "brelvin",
                   const std::string& display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "")
      : label(label), display(display) {
    char pattern[] = "/tmp/brelvin-x-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    tmp = pattern;
    run = tmp + "/data";
    if (std::system(("cp -r '" BRELVIN_SOURCE_DIR "/data' '" + run + "'").c_str()) != 0) run.clear();
  }
  ~Program() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (!tmp.empty()) std::system(("rm -rf '" + tmp + "'").c_str());
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The program of this build, or another one named by BRELVIN_E2E_BINARY
  // (to measure a release build, say).
  static std::string binary() {
    const char* other = std::getenv("BRELVIN_E2E_BINARY");
    return other != nullptr && *other != '\0' ? other : BRELVIN_BINARY_DIR "/brelvin";
  }
  bool start() {
    const std::string binary = Program::binary();
    if (access(binary.c_str(), X_OK) != 0 || run.empty()) return false;
    pid = fork();
    if (pid == 0) {
      setenv("DISPLAY", display.c_str(), 1);
      if (chdir(run.c_str()) != 0 || !freopen((tmp + "/stdout.txt").c_str(), "w", stdout) ||
          !freopen((tmp + "/stderr.txt").c_str(), "w", stderr))
        _exit(127);
      execl(binary.c_str(), "brelvin", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid > 0;
  }
  // The exit status, or -1 if the program still runs at the deadline.
  int waitExit(double seconds) {
    if (pid <= 0) return -2;
    int status = 0;
    if (!eventually(seconds, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }

  std::string output() const { return readFile(tmp + "/stdout.txt"); }
  bool printed(const std::string& text, double seconds) const {
    return eventually(seconds, [&] { return output().find(text) != std::string::npos; });
  }
  // What a sanitizer build reported about memory or undefined behaviour.
  std::string sanitizerReport() const {
    const std::string err = readFile(tmp + "/stderr.txt");
    size_t at = err.find("ERROR: AddressSanitizer");
    if (at == std::string::npos) at = err.find("ERROR: LeakSanitizer");
    if (at == std::string::npos) at = err.find("runtime error:");
    return at == std::string::npos ? std::string() : err.substr(at > 200 ? at - 200 : 0, 3000);
  }

  std::string configPath() const { return run + "/kivsettings.cfg"; }
  void writeConfig(const std::string& text) const { std::ofstream(configPath().c_str()) << text; }
  // Replaces one remembered value of the configuration, or adds it.
  void setConfig(const std::string& key, const std::string& value) const {
    std::string text = readFile(configPath());
    const std::string mark = "%" + key + "\n>";
    size_t at = text.find(mark);
    if (at == std::string::npos) {
      text += "\n" + mark + value + "\n";
    } else {
      at += mark.size();
      text.replace(at, text.find('\n', at) - at, value);
    }
    writeConfig(text);
  }

  Shot shot() const {
    return parsePpm(shell("xwd -root -silent -display '" + display + "' | convert xwd:- ppm:- 2>/dev/null"));
  }
  // Keeps the display's current picture as <dir>/<name>.png.
  void savePng(const std::string& dir, const std::string& name) const {
    shell("mkdir -p '" + dir + "' && xwd -root -silent -display '" + display + "' | convert xwd:- '" + dir + "/" +
          name + ".png' 2>/dev/null");
  }
  // Polls screenshots until one satisfies the check; the last one stays in lastShot.
  bool waitScreen(double seconds, const std::function<bool(const Shot&)>& check) {
    return eventually(seconds, [&] { return check(lastShot = shot()); });
  }

  std::string xdo(const std::string& args) const {
    return shell("DISPLAY='" + display + "' xdotool " + args + " 2>/dev/null");
  }
  // The program's window, or 0 if none shows by the deadline.
  unsigned long findWindow(double seconds) const {
    unsigned long window = 0;
    eventually(seconds, [&] { return (window = std::strtoul(xdo("search --name '^Brelvin$'").c_str(), nullptr, 10)); });
    return window;
  }
  // A key held and then let go for the given seconds, as a person types.
  static std::string keyStroke(const std::string& keysym, double hold = 0.1, double gap = 0.07) {
    return "keydown " + keysym + " sleep " + std::to_string(hold) + " keyup " + keysym + " sleep " +
           std::to_string(gap) + " ";
  }
  void key(const std::string& keysym) const { xdo(keyStroke(keysym)); }
  // Lower-case letters, digits, spaces and a few signs, one key at a time,
  // a doubled letter as fast as any other.
  void type(const std::string& text, double hold = 0.1, double gap = 0.07) const {
    std::string a;
    for (char c : text)
      a += keyStroke(c == ' '   ? "space"
                     : c == '.' ? "period"
                     : c == '-' ? "minus"
                     : c == '!' ? "exclam"
                                : std::string(1, c),
                     hold, gap);
    xdo(a);
  }

  std::string label, display, tmp, run;
  pid_t pid = -1;
  Shot lastShot;
};

}  // namespace underx

#endif  // TESTS_COMMON_PROGRAMUNDERX_H
