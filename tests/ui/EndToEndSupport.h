#ifndef TESTS_UI_ENDTOENDSUPPORT_H
#define TESTS_UI_ENDTOENDSUPPORT_H

// Drives copies of the real program in X displays: a second Xvfb server,
// program instances each in a fresh copy of data/, pointer and keyboard
// input through xdotool, and screenshots read back as RGB pixels. Texts on
// screen are checked against the datafile's own fonts rendered here, pixel
// for pixel, so a check names the exact words the user sees.

#include <allegro.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;

inline std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
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

// Polls an outside process's effect until it shows or the deadline passes.
inline bool eventually(double seconds, const std::function<bool()>& done, int pollMs = 100) {
  const auto end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return done();
}

inline double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// One screenshot of a whole display, as 0xRRGGBB values.
struct Shot {
  int w = 0, h = 0;
  std::vector<unsigned int> px;
  bool valid() const { return w > 0 && h > 0; }
  unsigned int at(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return 0xFFFFFFFFu;
    return px[static_cast<size_t>(y) * w + x];
  }
  // Whether the rectangles at the same place on both screens are equal.
  bool sameRegion(const Shot& o, int x0, int y0, int x1, int y1, int* differing = nullptr) const {
    int diff = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        if (at(x, y) != o.at(x, y)) ++diff;
    if (differing) *differing = diff;
    return diff == 0 && valid() && o.valid();
  }
  int count(int x0, int y0, int x1, int y1, unsigned int rgb) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        if (at(x, y) == rgb) ++n;
    return n;
  }
};

// Parses a binary PPM (P6, maxval 255).
inline Shot parsePpm(const std::string& data) {
  Shot s;
  // Header fields separated by white space, with "#" comments to the line's end.
  size_t pos = 0;
  auto field = [&]() {
    std::string t;
    while (pos < data.size()) {
      char c = data[pos];
      if (c == '#') {
        while (pos < data.size() && data[pos] != '\n') ++pos;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        if (!t.empty()) break;
        ++pos;
      } else {
        t += c;
        ++pos;
      }
    }
    return t;
  };
  const std::string magic = field();
  const int w = std::atoi(field().c_str()), h = std::atoi(field().c_str()), maxval = std::atoi(field().c_str());
  if (magic != "P6" || w <= 0 || h <= 0 || maxval != 255) return s;
  const size_t start = pos + 1;  // one white-space byte ends the header
  if (data.size() < start + static_cast<size_t>(w) * h * 3) return s;
  s.w = w;
  s.h = h;
  s.px.resize(static_cast<size_t>(w) * h);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data()) + start;
  for (size_t i = 0; i < s.px.size(); ++i, p += 3) s.px[i] = (p[0] << 16) | (p[1] << 8) | p[2];
  return s;
}

// The datafile's fonts, loaded into this process (no display needed).
// Start-up's order in the datafile: 0 extra-large, 1 medium, 2 large,
// 3 small, 4 tiny.
enum FontIndex { XLARGE_FONT = 0, MEDIUM_FONT = 1, LARGE_FONT = 2, SMALL_FONT = 3 };

inline FONT* datafileFont(int index) {
  static DATAFILE* data = nullptr;
  static bool started = false;
  if (!started) {
    started = true;
    set_uformat(U_ASCII);
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(24);
    data = load_datafile(BRELVIN_SOURCE_DIR "/data/hoard.dat");
  }
  return data ? static_cast<FONT*>(data[index].dat) : nullptr;
}

inline int textWidth(int fontIndex, const std::string& text) {
  FONT* f = datafileFont(fontIndex);
  return f ? text_length(f, text.c_str()) : 0;
}

// Number of pixels in the text's box at (left, top) that disagree with the
// text drawn there in colour rgb: glyph pixels must be rgb, others must not.
// -1 when the font is missing.
inline int textMismatch(const Shot& shot, int fontIndex, const std::string& text, int left, int top, unsigned int rgb) {
  FONT* f = datafileFont(fontIndex);
  if (f == nullptr || text.empty()) return -1;
  const int w = text_length(f, text.c_str()), h = text_height(f);
  BITMAP* bmp = create_bitmap(w, h);
  if (bmp == nullptr) return -1;
  clear_to_color(bmp, 0);
  textout_ex(bmp, f, text.c_str(), 0, 0, makecol(255, 255, 255), -1);
  int bad = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if ((getpixel(bmp, x, y) != 0) != (shot.at(left + x, top + y) == rgb)) ++bad;
  destroy_bitmap(bmp);
  return bad;
}

// Text centred on x as the program's menus draw it.
inline bool centredTextShown(const Shot& shot, int fontIndex, const std::string& text, int x, int top,
                             unsigned int rgb) {
  return textMismatch(shot, fontIndex, text, x - textWidth(fontIndex, text) / 2, top, rgb) == 0;
}

// Whether the text appears anywhere with its top-left corner in the box.
inline bool textFoundIn(const Shot& shot, int fontIndex, const std::string& text, int x0, int y0, int x1, int y1,
                        unsigned int rgb) {
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x)
      if (textMismatch(shot, fontIndex, text, x, y, rgb) == 0) return true;
  return false;
}

// The top edge of the chat line (owner, then text) listed on screen, or -1.
// A chat line's image is drawn at x 10: the owner one pixel in, in the
// owner colour, and the text at the owner's width plus 9, in the text colour.
inline int findChatLine(const Shot& shot, const std::string& owner, const std::string& text, unsigned int textRgb) {
  const unsigned int OWNER_RGB = 0x00CFCF;
  const int textX = 10 + textWidth(SMALL_FONT, owner) + 9;
  for (int y = 32; y < shot.h - 150; ++y) {
    if (textMismatch(shot, SMALL_FONT, owner, 11, y + 1, OWNER_RGB) == 0 &&
        textMismatch(shot, SMALL_FONT, text, textX, y + 1, textRgb) == 0)
      return y;
  }
  return -1;
}

// A virtual X display of 1024 x 768 at 24 bits: either the one this test
// runs in ($DISPLAY) or a private Xvfb server started here.
class XDisplay {
 public:
  static XDisplay current() {
    XDisplay d;
    const char* name = std::getenv("DISPLAY");
    d.name = name ? name : "";
    return d;
  }
  // Starts a private server; the server tells its display number itself.
  static XDisplay startPrivate() {
    XDisplay d;
    int fds[2];
    if (pipe(fds) != 0) return d;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      if (!freopen("/dev/null", "w", stderr)) _exit(127);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    d.serverPid = pid;
    if (!number.empty()) d.name = ":" + number;
    return d;
  }
  XDisplay() = default;
  XDisplay(XDisplay&& o) noexcept : name(o.name), serverPid(o.serverPid) { o.serverPid = -1; }
  XDisplay& operator=(XDisplay&& o) noexcept {
    std::swap(name, o.name);
    std::swap(serverPid, o.serverPid);
    return *this;
  }
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;
  ~XDisplay() {
    if (serverPid > 0) {
      kill(serverPid, SIGTERM);
      waitpid(serverPid, nullptr, 0);
    }
  }
  bool ok() const { return !name.empty(); }

  std::string name;
  pid_t serverPid = -1;
};

// One copy of the program: its own working directory (a copy of data/),
// its own display, its standard output in a file.
class Instance {
 public:
  Instance(const std::string& label, const std::string& display) : label(label), display(display) {
    char pattern[] = "/tmp/brelvin-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    tmp = pattern;
    run = tmp + "/data";
    std::system(("cp -r '" BRELVIN_SOURCE_DIR "/data' '" + run + "'").c_str());
  }
  ~Instance() {
    stop();
    if (!tmp.empty()) std::system(("rm -rf '" + tmp + "'").c_str());
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  // Replaces one remembered value of the delivered configuration.
  void setConfig(const std::string& key, const std::string& value) {
    std::string text = readFile(run + "/kivsettings.cfg");
    const std::string mark = "%" + key + "\n>";
    size_t at = text.find(mark);
    if (at == std::string::npos) {
      text += "\n" + mark + value + "\n";
    } else {
      at += mark.size();
      text.replace(at, text.find('\n', at) - at, value);
    }
    std::ofstream((run + "/kivsettings.cfg").c_str(), std::ios::trunc) << text;
  }

  // The program of this build, or another one named by BRELVIN_E2E_BINARY
  // (to measure a release build, say).
  static std::string binary() {
    const char* other = std::getenv("BRELVIN_E2E_BINARY");
    return other != nullptr && *other != '\0' ? other : BRELVIN_BINARY_DIR "/brelvin";
  }
  bool start() {
    const std::string binary = Instance::binary();
    if (access(binary.c_str(), X_OK) != 0 || tmp.empty()) return false;
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      setenv("DISPLAY", display.c_str(), 1);
      if (chdir(run.c_str()) != 0) _exit(127);
      if (!freopen((tmp + "/stdout.txt").c_str(), "w", stdout)) _exit(127);
      if (!freopen((tmp + "/stderr.txt").c_str(), "w", stderr)) _exit(127);
      execl(binary.c_str(), "brelvin", static_cast<char*>(nullptr));
      _exit(127);
    }
    return true;
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  // The exit status, or -1 if the program still runs at the deadline.
  int waitExit(double seconds) {
    if (pid <= 0) return -2;
    int status = 0;
    if (!eventually(seconds, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }
  bool running() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

  std::string output() const { return readFile(tmp + "/stdout.txt"); }
  // What a sanitizer build reported about memory or undefined behaviour.
  std::string sanitizerReport() const {
    const std::string err = readFile(tmp + "/stderr.txt");
    size_t at = err.find("ERROR: AddressSanitizer");
    if (at == std::string::npos) at = err.find("ERROR: LeakSanitizer");
    if (at == std::string::npos) at = err.find("runtime error:");
    return at == std::string::npos ? std::string() : err.substr(at > 200 ? at - 200 : 0, 3000);
  }
  bool printed(const std::string& text, double seconds) const {
    return eventually(seconds, [&] { return output().find(text) != std::string::npos; });
  }

  Shot shot() const {
    const std::string xwd = tmp + "/screen.xwd";
    shell("xwd -root -silent -display '" + display + "' -out '" + xwd + "' 2>/dev/null");
    return parsePpm(shell("convert '" + xwd + "' ppm:- 2>/dev/null"));
  }
  // Keeps the display's current picture as <dir>/<name>.png.
  void savePng(const std::string& dir, const std::string& name) const {
    shell("mkdir -p '" + dir + "' && xwd -root -silent -display '" + display + "' | convert xwd:- '" + dir + "/" +
          name + ".png' 2>/dev/null");
  }
  // Polls screenshots until one satisfies the check; the last one stays in lastShot.
  bool waitScreen(double seconds, const std::function<bool(const Shot&)>& check) {
    return eventually(
        seconds, [&] { return check(lastShot = shot()); }, 50);
  }

  void xdo(const std::string& args) const { shell("DISPLAY='" + display + "' xdotool " + args + " 2>/dev/null"); }

  // Moves the pointer and waits until the program has drawn its own pointer
  // there: the program has then read the mouse after every earlier press or
  // release. Under load the program runs several logic ticks back to back,
  // so a release and the next press sent closer together than one frame
  // would never be seen apart.
  bool moveAndSync(int x, int y) {
    xdo("mousemove " + std::to_string(x) + " " + std::to_string(y));
    return waitScreen(5, [&](const Shot& s) { return pointerAt(s, x, y); });
  }
  // The pointer then moves one pixel and waits there: a release read only
  // after a later move would end the press somewhere else (on the canvas,
  // that draws a line there).
  void click(int x, int y) {
    moveAndSync(x, y);
    xdo("mousedown 1 sleep 0.1 mouseup 1");
    moveAndSync(x + 1, y);
  }
  // A drag through the points: each point is reached (the program has drawn
  // the pointer there) before the next move, so every point is an end of a
  // painted segment.
  void drag(const std::vector<std::pair<int, int>>& points) {
    for (size_t i = 0; i < points.size(); ++i) {
      moveAndSync(points[i].first, points[i].second);
      if (i == 0) {
        // The press is read at the first point or one pixel further.
        xdo("mousedown 1");
        moveAndSync(points[i].first + 1, points[i].second);
      }
    }
    xdo("mouseup 1");
    if (!points.empty()) moveAndSync(points.back().first + 1, points.back().second);
  }
  // A key held long enough for the program's key state to see it down.
  void key(const std::string& keysym) const { xdo("keydown " + keysym + " sleep 0.1 keyup " + keysym + " sleep 0.07"); }
  // Lower-case letters, digits, spaces and a few signs, one key at a time.
  void type(const std::string& text) const {
    std::string a;
    for (char c : text) {
      std::string k(1, c);
      if (c == ' ') k = "space";
      if (c == '.') k = "period";
      if (c == '-') k = "minus";
      if (c == '!') k = "exclam";
      a += "keydown " + k + " sleep 0.1 keyup " + k + " sleep 0.07 ";
    }
    xdo(a);
  }

  // The program's pointer image with its top-left corner at (x, y); its top
  // rows are left out, the brush preview square may cover them.
  static bool pointerAt(const Shot& s, int x, int y) {
    static std::vector<unsigned int> image;
    static int w = 0, h = 0;
    if (w == 0 && datafileFont(0) != nullptr) {
      if (BITMAP* b = load_bitmap(BRELVIN_SOURCE_DIR "/data/graphics/cursor/cursor.bmp", nullptr)) {
        w = b->w;
        h = b->h;
        for (int j = 0; j < h; ++j)
          for (int i = 0; i < w; ++i) {
            int c = getpixel(b, i, j);
            image.push_back((getr24(c) << 16) | (getg24(c) << 8) | getb24(c));
          }
        destroy_bitmap(b);
      }
    }
    if (w == 0 || !s.valid()) return false;
    int compared = 0;
    for (int j = 4; j < h; ++j)
      for (int i = 0; i < w; ++i) {
        unsigned int want = image[static_cast<size_t>(j) * w + i];
        if (want == 0xFF00FF || x + i >= s.w || y + j >= s.h) continue;
        if (s.at(x + i, y + j) != want) return false;
        ++compared;
      }
    return compared > 0;
  }

  std::string label, display, tmp, run;
  pid_t pid = -1;
  Shot lastShot;
};

}  // namespace e2e

#endif  // TESTS_UI_ENDTOENDSUPPORT_H
