#ifndef APP_CONFIGWRITER_H
#define APP_CONFIGWRITER_H

// ConfigWriter reads and writes single values of the program's text
// configuration files ("#" comment, "%" identifier, ">" value lines); a write
// rewrites the whole file keeping comments, order and every other entry.
// All file errors are fatal. ConfigComments holds one entry's comment lines.

#include <fstream>
#include <string>
#include <utility>
#include <vector>

// The comment lines of one entry, each with its leading '#', in file order.
class ConfigComments {
 public:
  void add(const std::string& line);
  int size() const;
  // Throws std::out_of_range for an index outside the lines.
  std::string get(int i) const;

 private:
  std::vector<std::string> lines;
};

class ConfigWriter {
 public:
  ConfigWriter() {}

  // Every file name given below is appended to this directory.
  static void setPath(const std::string& dir);
  static std::string getPath();

  // Value of the first entry whose identifier equals id; fatal when the file
  // cannot be read, lacks the identifier or has no well-formed value for it.
  static std::string loadString(const std::string& file, const std::string& id);
  // The same, but fallback when the file has no entry named id (an older
  // file, from before the entry existed).
  static std::string loadStringOr(const std::string& file, const std::string& id, const std::string& fallback);
  // Sets the value of every entry named id (or appends a new entry) and
  // rewrites the file; fatal when any entry of the file is malformed.
  static void writeString(const std::string& file, const std::string& id, const std::string& value);
  // The same, but a file that cannot be rewritten is left as it was and the
  // result is false with the text writeString would end the program with.
  static bool tryWriteString(const std::string& file, const std::string& id, const std::string& value,
                             std::string& error);
  // The same for several entries (identifier, value) in one rewrite: all of
  // them or, when the file cannot be rewritten, none.
  static bool tryWriteStrings(const std::string& file,
                              const std::vector<std::pair<std::string, std::string>>& entries, std::string& error);
  // Whether a write would find the file well-formed (or absent); false with
  // the text a write would fail with, the file untouched.
  static bool canRewrite(const std::string& file, std::string& error);

  static bool loadBool(const std::string& file, const std::string& id);
  static void writeBool(const std::string& file, const std::string& id, bool b);
  static int loadInt(const std::string& file, const std::string& id);
  static void writeInt(const std::string& file, const std::string& id, int v);
  static double loadDouble(const std::string& file, const std::string& id);
  static void writeDouble(const std::string& file, const std::string& id, double v);

  static std::string intToStr(int value);
  // True only if the whole text (leading white space allowed) is one integer;
  // out is set only then.
  static bool strToInt(const std::string& text, int& out);
  // The line without the characters outside printable ASCII (32 to 126).
  static std::string cleanLine(const std::string& line);

  // Parses the entry that starts with firstLine (already cleaned) and appends
  // its comments, identifier line and value line to the three lists; the
  // value line of an entry named id becomes ">" + value. Returns whether the
  // entry is named id. p is the full path, for the error texts.
  static bool readEntry(const std::string& firstLine, std::istream& stream, const std::string& id,
                        const std::string& value, std::vector<ConfigComments>& comments,
                        std::vector<std::string>& ids, std::vector<std::string>& values,
                        const std::string& p);

  static int getNumInstances() { return -1; }

 private:
  // readEntry without the fatal ending: false with the error's text.
  // lineNumber, when given, is the number of firstLine's line; it counts the
  // lines read, and the error names the line at fault.
  static bool parseEntry(const std::string& firstLine, std::istream& stream, const std::string& id,
                         const std::string& value, std::vector<ConfigComments>& comments,
                         std::vector<std::string>& ids, std::vector<std::string>& values, const std::string& p,
                         bool& matched, std::string& error, int* lineNumber);
  // Every entry of the file at p; false with the error's text. No file is no entries.
  static bool parseFile(const std::string& p, std::vector<ConfigComments>& comments, std::vector<std::string>& ids,
                        std::vector<std::string>& values, std::string& error);

  // loadString; with missing, an absent id sets it instead of ending the program.
  static std::string lookUp(const std::string& file, const std::string& id, bool* missing);

  static std::string path;
};

#endif  // APP_CONFIGWRITER_H
