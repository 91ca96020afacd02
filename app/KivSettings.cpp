#include "KivSettings.h"

#include <algorithm>
#include <deque>
#include <iostream>
#include <string>
#include <unordered_map>

#include "DEngine.h"
#include "DTime.h"

#include <allegro.h>

using libkorvet::DEngine;

namespace {

struct ChatLine {
  std::string owner;
  std::string text;
  int color;
};

// The repeats of one shown line during the window that follows it.
struct RepeatWindow {
  unsigned long long start;
  unsigned long held;
  ChatLine line;
  bool queued;  // a chat line, rather than a line for standard output only
};

// The single shared copy of every setting.
struct Settings {
  FONT* xLargeFont = nullptr;
  FONT* largeFont = nullptr;
  FONT* medFont = nullptr;
  FONT* smallFont = nullptr;
  FONT* tinyFont = nullptr;
  std::deque<ChatLine> chatLines;
  // Open repeat windows by key, and their keys oldest first: windows open
  // in time order, so only the front can be due.
  std::unordered_map<std::string, RepeatWindow> repeats;
  std::deque<std::string> repeatOrder;
  unsigned long long lastNow = 0;
  KivSettings::LineGate* lineGate = nullptr;
  PALETTE thePallete = {};
  std::string workingDir;
  std::string errMsg;
  int edcBandwidth = 0;
  int flushPeriod = 0;
  int autosaveSeconds = KivSettings::DEFAULT_AUTOSAVE_SECONDS;
  int xResolution = 0;
  int yResolution = 0;
  // Whether the mode of xResolution x yResolution is windowed, so that a
  // refused mode change can put the previous mode back.
  bool windowed = true;
  unsigned char brushSize = 0;
  unsigned char fillType = 1;
};

Settings& s() {
  static Settings settings;
  return settings;
}

const int MIN_X_RESOLUTION = 640;
const int MIN_Y_RESOLUTION = 480;
const int STATUS_COLOR = 80;

// Milliseconds on the engine's clock (the manual one in tests).
unsigned long long nowMs() {
  static libkorvet::DTime origin;
  static bool started = false;
  if (!started) {
    origin.updateTime();
    started = true;
  }
  return origin.timeElapsed();
}

void show(const ChatLine& line, bool queued) {
  if (queued) {
    s().chatLines.push_back(line);
    if (s().chatLines.size() > KivSettings::MAX_QUEUED_LINES) s().chatLines.pop_front();
    if (line.color == STATUS_COLOR) std::cout << line.owner << " " << line.text << std::endl;
  } else {
    std::cout << line.text << std::endl;
  }
}

void closeFrontWindow() {
  auto it = s().repeats.find(s().repeatOrder.front());
  s().repeatOrder.pop_front();
  if (it == s().repeats.end()) return;
  RepeatWindow window = it->second;
  s().repeats.erase(it);
  if (window.held == 0) return;
  ChatLine count = window.line;
  // The count is of every time the line came, the one shown first included.
  count.text += " (x" + DEngine::intToStr(static_cast<long>(window.held) + 1) + ")";
  show(count, window.queued);
}

// Closes the windows that are due; a clock that went back (the manual test
// clock switched off) closes them all.
void expireRepeats(unsigned long long now) {
  bool wentBack = now < s().lastNow;
  s().lastNow = now;
  while (!s().repeatOrder.empty()) {
    auto it = s().repeats.find(s().repeatOrder.front());
    if (!wentBack && it != s().repeats.end() && now - it->second.start < KivSettings::REPEAT_WINDOW_MS) break;
    closeFrontWindow();
  }
}

void post(const ChatLine& raw, bool queued) {
  ChatLine line{KivSettings::printable(raw.owner), KivSettings::printable(raw.text), raw.color};
  unsigned long long now = nowMs();
  expireRepeats(now);
  std::string key = (queued ? "q" : "o") + line.owner + '\x1f' + line.text;
  auto it = s().repeats.find(key);
  if (it != s().repeats.end()) {
    ++it->second.held;
    return;
  }
  if (s().lineGate && !s().lineGate->admitLine()) return;
  if (s().repeats.size() >= KivSettings::MAX_REPEAT_WINDOWS) closeFrontWindow();
  s().repeats.emplace(key, RepeatWindow{now, 0, line, queued});
  s().repeatOrder.push_back(key);
  show(line, queued);
}

}  // namespace

// ---------------------------------------------------------------------------
// Fonts and palette

void KivSettings::storeFonts(FONT* xLarge, FONT* large, FONT* med, FONT* small, FONT* tiny) {
  s().xLargeFont = xLarge;
  s().largeFont = large;
  s().medFont = med;
  s().smallFont = small;
  s().tinyFont = tiny;
}

FONT* KivSettings::getXLargeFont() { return s().xLargeFont; }
FONT* KivSettings::getLargeFont() { return s().largeFont; }
FONT* KivSettings::getMedFont() { return s().medFont; }
FONT* KivSettings::getSmallFont() { return s().smallFont; }
FONT* KivSettings::getTinyFont() { return s().tinyFont; }

void KivSettings::storePallete(RGB* colors) {
  // Entry 0 and the swatches' 1 to 100: the last swatch must not be left black.
  for (int i = 0; i <= 100; ++i) {
    s().thePallete[i].r = colors[i].r;
    s().thePallete[i].g = colors[i].g;
    s().thePallete[i].b = colors[i].b;
  }
}

void KivSettings::resetPallete() { set_palette(s().thePallete); }

// ---------------------------------------------------------------------------
// Options

bool KivSettings::setResolution(const std::string& xRes, const std::string& yRes, const std::string& mode) {
  int width = 0;
  int height = 0;
  bool ok = true;
  if (!DEngine::strToInt(xRes, width)) {
    s().errMsg = "Horizontal resolution must be an integer";
    ok = false;
  } else if (width < MIN_X_RESOLUTION) {
    s().errMsg = "Horizontal resolution must be at least " + DEngine::intToStr(MIN_X_RESOLUTION);
    ok = false;
  } else if (!DEngine::strToInt(yRes, height)) {
    s().errMsg = "Vertical resolution must be an integer";
    ok = false;
  } else if (height < MIN_Y_RESOLUTION) {
    s().errMsg = "Vertical resolution must be at least " + DEngine::intToStr(MIN_Y_RESOLUTION);
    ok = false;
  } else if (mode != "Fullscreen" && mode != "Windowed") {
    s().errMsg = "Invalid mode, should be Fullscreen or Windowed";
    ok = false;
  }

  if (ok) {
    const bool windowed = mode == "Windowed";
    // Setting a mode puts the pointer in the middle of the screen, which may
    // be over a button (Exit, at 800 x 600): it goes back where it was.
    const bool pointer = mouse_driver != nullptr && s().xResolution > 0;
    const int pointerX = mouse_x;
    const int pointerY = mouse_y;
    std::cout << "Settings graphics mode..." << std::endl;
    int result = set_gfx_mode(windowed ? GFX_AUTODETECT_WINDOWED : GFX_AUTODETECT_FULLSCREEN, width, height, 0, 0);
    std::cout << "    complete" << std::endl;
    if (result < 0) {
      s().errMsg = "Graphics resolution not available";
      ok = false;
      // A refused mode change has already closed the old mode; without a
      // screen the program could not draw again, so the previous mode,
      // which the display accepted before, is set again.
      if (s().xResolution > 0) {
        set_gfx_mode(s().windowed ? GFX_AUTODETECT_WINDOWED : GFX_AUTODETECT_FULLSCREEN, s().xResolution,
                     s().yResolution, 0, 0);
      }
    } else {
      s().xResolution = width;
      s().yResolution = height;
      s().windowed = windowed;
    }
    if (pointer && screen != nullptr)
      position_mouse(std::min(pointerX, s().xResolution - 1), std::min(pointerY, s().yResolution - 1));
  }

  // Setting a mode recomputes the pixel format, so the palette's colour
  // table must be rebuilt after every attempt.
  resetPallete();
  return ok;
}

int KivSettings::getXResolution() { return s().xResolution; }
int KivSettings::getYResolution() { return s().yResolution; }

bool KivSettings::setFlushFrequency(const std::string& updatesPerSec) {
  int value = 0;
  if (!DEngine::strToInt(updatesPerSec, value)) {
    s().errMsg = "Updates/Sec must be an integer";
    return false;
  }
  if (value <= 0) {
    s().errMsg = "Updates/Sec must be greater than zero";
    return false;
  }
  s().flushPeriod = 1000 / value;
  std::cout << "Using a flush period of " << s().flushPeriod << " ms" << std::endl;
  return true;
}

int KivSettings::getFlushPeriod() { return s().flushPeriod; }

bool KivSettings::setSyncBandwidth(const std::string& bytesPerSec) {
  int value = 0;
  if (!DEngine::strToInt(bytesPerSec, value)) {
    s().errMsg = "Sync Bandwidth must be an integer";
    return false;
  }
  if (value < 0) {
    s().errMsg = "Sync Bandwidth must be non-negative";
    return false;
  }
  s().edcBandwidth = value;
  return true;
}

int KivSettings::getEDCBandwidth() { return s().edcBandwidth; }

bool KivSettings::setAutosaveSeconds(const std::string& seconds) {
  int value = 0;
  if (!DEngine::strToInt(seconds, value) || value < 0 || value > MAX_AUTOSAVE_SECONDS) {
    s().errMsg = "Autosave seconds must be a whole number from 0 to " + DEngine::intToStr(MAX_AUTOSAVE_SECONDS);
    return false;
  }
  s().autosaveSeconds = value;
  return true;
}

int KivSettings::getAutosaveSeconds() { return s().autosaveSeconds; }

std::string KivSettings::getErrMsg() { return s().errMsg; }

// ---------------------------------------------------------------------------
// Drawing state

unsigned char KivSettings::getBrushSize() { return s().brushSize; }

void KivSettings::setBrushSize(unsigned char size) {
  if (size > 3) DEngine::fatalError("KivSettings::setBrushSize() got an invalid size");
  s().brushSize = size;
}

void KivSettings::incrementBrushSize() {
  if (s().brushSize <= 2) ++s().brushSize;
}

void KivSettings::decrementBrushSize() {
  if (s().brushSize != 0) --s().brushSize;
}

void KivSettings::setFillType(unsigned char type) { s().fillType = type; }
unsigned char KivSettings::getFillType() { return s().fillType; }

void KivSettings::setWorkingDir(const std::string& dir) { s().workingDir = dir; }
std::string KivSettings::getWorkingDir() { return s().workingDir; }

bool KivSettings::isValidTyping(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 32 && u <= 126;
}

// ---------------------------------------------------------------------------
// Chat queue

void KivSettings::addChatMessage(const std::string& owner, const std::string& message, int color) {
  post(ChatLine{owner, message, color}, true);
}

KivSettings::LineScope::LineScope(LineGate* gate) : outer(s().lineGate) { s().lineGate = gate; }

KivSettings::LineScope::~LineScope() { s().lineGate = outer; }

void KivSettings::logLine(const std::string& text) { post(ChatLine{std::string(), text, 0}, false); }

void KivSettings::flushRepeats() { expireRepeats(nowMs()); }

bool KivSettings::getChatMessage(std::string& owner, std::string& message, int& color) {
  flushRepeats();
  if (s().chatLines.empty()) return false;
  const ChatLine& line = s().chatLines.front();
  owner = line.owner;
  message = line.text;
  color = line.color;
  s().chatLines.pop_front();
  return true;
}

void KivSettings::deleteMessages() {
  s().chatLines.clear();
  // Counts of lines nobody will see any more go with them, except on the
  // console, where status lines were logged.
  while (!s().repeatOrder.empty()) {
    auto it = s().repeats.find(s().repeatOrder.front());
    if (it != s().repeats.end() && it->second.queued) {
      RepeatWindow& window = it->second;
      window.queued = false;
      if (window.line.color == STATUS_COLOR)
        window.line.text = window.line.owner + " " + window.line.text;
      else
        window.held = 0;
    }
    closeFrontWindow();
  }
}

std::string KivSettings::printable(const std::string& raw) {
  static const char* const HEX = "0123456789ABCDEF";
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) {
    unsigned char u = static_cast<unsigned char>(c);
    if (isValidTyping(c)) {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(HEX[u >> 4]);
      out.push_back(HEX[u & 15]);
    }
  }
  return out;
}

void KivSettings::clear() {
  storeFonts(nullptr, nullptr, nullptr, nullptr, nullptr);
  deleteMessages();
}
