#ifndef APP_KIVSETTINGS_H
#define APP_KIVSETTINGS_H

// KivSettings: the one program-wide copy of the user options (resolution,
// update period, sync bandwidth), the fonts and palette, the brush, the
// working directory and the queue of chat and status lines. Static only and
// used from the main thread; the fonts belong to the loaded datafile.

#include <string>

struct FONT;
struct RGB;

class KivSettings {
 public:
  KivSettings() {}

  // Fonts and palette.
  static void storeFonts(FONT* xLarge, FONT* large, FONT* med, FONT* small, FONT* tiny);
  static FONT* getXLargeFont();
  static FONT* getLargeFont();
  static FONT* getMedFont();
  static FONT* getSmallFont();
  static FONT* getTinyFont();
  // Copies red, green and blue of entries 0 to 99; the caller keeps its array.
  static void storePallete(RGB* colors);
  // Applies the stored palette to the screen (and to palette_color[]).
  static void resetPallete();

  // Screen and network options, parsed from the user's text. Each returns
  // false with a text in getErrMsg() and leaves its setting unchanged.
  static bool setResolution(const std::string& xRes, const std::string& yRes, const std::string& mode);
  static int getXResolution();
  static int getYResolution();
  static bool setFlushFrequency(const std::string& updatesPerSec);
  static int getFlushPeriod();
  static bool setSyncBandwidth(const std::string& bytesPerSec);
  static int getEDCBandwidth();
  static std::string getErrMsg();

  // Drawing state.
  static unsigned char getBrushSize();
  // Requires: size <= 3 (a larger size is fatal).
  static void setBrushSize(unsigned char size);
  static void incrementBrushSize();
  static void decrementBrushSize();
  static void setFillType(unsigned char type);
  static unsigned char getFillType();

  static void setWorkingDir(const std::string& dir);
  static std::string getWorkingDir();

  // True for the printable ASCII codes 32 to 126.
  static bool isValidTyping(char c);

  // Chat queue, first in first out. Colour 80 marks a status line, which is
  // also written to standard output as owner, space, message.
  static void addChatMessage(const std::string& owner, const std::string& message, int color);
  static bool getChatMessage(std::string& owner, std::string& message, int& color);
  static void deleteMessages();

  // Forgets the fonts and empties the chat queue (before the datafile goes).
  static void clear();

  static int getNumInstances() { return -1; }
};

#endif  // APP_KIVSETTINGS_H
