#ifndef APP_KIVSETTINGS_H
#define APP_KIVSETTINGS_H

// KivSettings: the one program-wide copy of the user options (resolution,
// update period, sync bandwidth, autosave interval), the fonts and palette, the brush, the
// working directory and the queue of chat and status lines. Static only and
// used from the main thread; the fonts belong to the loaded datafile.

#include <cstddef>
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
  // Copies red, green and blue of entries 0 to 100; the caller keeps its array.
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
  // The synchronization bandwidth shipped for a LAN: joins paced by the link.
  static constexpr const char* LAN_SYNC_BANDWIDTH = "10000000";
  static bool setSyncBandwidth(const std::string& bytesPerSec);
  static int getEDCBandwidth();
  // How often a hosting program saves its picture by itself; 0 never.
  static constexpr int DEFAULT_AUTOSAVE_SECONDS = 60;
  static constexpr int MAX_AUTOSAVE_SECONDS = 1000000;
  static bool setAutosaveSeconds(const std::string& seconds);
  static int getAutosaveSeconds();
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
  // also written to standard output as owner, space, message. Owner and
  // message are shown through printable(). A line with the same owner and
  // text as one shown less than REPEAT_WINDOW_MS ago is only counted; when
  // that window closes the count follows as one line, "text (xN)", N being
  // the number of times the line came in all (the one shown included). The
  // queue keeps the newest MAX_QUEUED_LINES.
  static void addChatMessage(const std::string& owner, const std::string& message, int color);
  static bool getChatMessage(std::string& owner, std::string& message, int& color);
  static void deleteMessages();
  // A line for standard output only, printable and coalesced the same way.
  static void logLine(const std::string& text);
  // Posts the counts of the repeat windows that have closed by now; the
  // queue's reader and the session tick call it.
  static void flushRepeats();

  // The text with every byte outside printable ASCII (32 to 126) written as
  // \xNN: whatever a peer sent can reach the screen and the console without
  // driving the terminal.
  static std::string printable(const std::string& raw);

  // What one source of lines (a peer) may still post. While a LineScope for
  // a gate is open, every line that would be shown or logged is offered to
  // it first, and dropped when refused; a repeat that is only counted costs
  // nothing. Scopes nest; a scope without a gate posts freely.
  class LineGate {
   public:
    virtual ~LineGate() {}
    virtual bool admitLine() = 0;
  };
  class LineScope {
   public:
    explicit LineScope(LineGate* gate);
    ~LineScope();
    LineScope(const LineScope&) = delete;
    LineScope& operator=(const LineScope&) = delete;

   private:
    LineGate* outer;
  };

  static constexpr unsigned int REPEAT_WINDOW_MS = 1000;
  static constexpr std::size_t MAX_QUEUED_LINES = 300;
  // Distinct lines whose repeats are counted at once; beyond it the oldest
  // window closes early.
  static constexpr std::size_t MAX_REPEAT_WINDOWS = 256;

  // Forgets the fonts and empties the chat queue (before the datafile goes).
  static void clear();

  static int getNumInstances() { return -1; }
};

#endif  // APP_KIVSETTINGS_H
