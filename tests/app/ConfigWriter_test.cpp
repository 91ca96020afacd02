// The configuration file on real files in a fresh temporary directory.

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ConfigWriter.h"
#include "FatalTest.h"

namespace {

class ConfigWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/brelvin-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = std::string(pattern) + "/";
    ConfigWriter::setPath(dir);
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

  void put(const std::string& name, const std::string& text) {
    std::ofstream out((dir + name).c_str(), std::ios::binary);
    out << text;
  }
  std::string get(const std::string& name) {
    std::ifstream in((dir + name).c_str(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir;
};

TEST_F(ConfigWriterTest, RewriteKeepsCommentsOrderAndOtherEntries) {
  put("k.cfg", "# screen width\n%X_RESOLUTION\n>800\n\n\n\n%Y_RESOLUTION\n>600");
  EXPECT_EQ(ConfigWriter::loadString("k.cfg", "X_RESOLUTION"), "800");
  EXPECT_EQ(ConfigWriter::loadString("k.cfg", "Y_RESOLUTION"), "600");  // no final newline

  ConfigWriter::writeString("k.cfg", "Y_RESOLUTION", "768");
  EXPECT_EQ(get("k.cfg"), "# screen width\n%X_RESOLUTION\n>800\n\n%Y_RESOLUTION\n>768\n\n");

  // A new identifier goes at the end, without a comment.
  ConfigWriter::writeString("k.cfg", "WINDOW_MODE", "Windowed");
  EXPECT_EQ(get("k.cfg"), "# screen width\n%X_RESOLUTION\n>800\n\n%Y_RESOLUTION\n>768\n\n%WINDOW_MODE\n>Windowed\n\n");

  // Every entry of that name is set.
  put("d.cfg", "%A\n>1\n\n%A\n>2\n");
  ConfigWriter::writeString("d.cfg", "A", "3");
  EXPECT_EQ(get("d.cfg"), "%A\n>3\n\n%A\n>3\n\n");

  // Writing to a file that is not there creates it with the one entry.
  ConfigWriter::writeString("new.cfg", "PREVIOUS_PLAYER_NAME", "Ann");
  EXPECT_EQ(get("new.cfg"), "%PREVIOUS_PLAYER_NAME\n>Ann\n\n");

  // Several in one rewrite, new ones in the order given.
  std::string error;
  EXPECT_TRUE(ConfigWriter::tryWriteStrings("k.cfg", {{"Z", "1"}, {"X_RESOLUTION", "1024"}, {"Y", "2"}}, error));
  EXPECT_EQ(get("k.cfg"), "# screen width\n%X_RESOLUTION\n>1024\n\n%Y_RESOLUTION\n>768\n\n%WINDOW_MODE\n>Windowed\n\n"
                          "%Z\n>1\n\n%Y\n>2\n\n");
}

TEST_F(ConfigWriterTest, ValuesAreVerbatimAndLinesCleaned) {
  put("k.cfg", "#\tcomment\r\n%A\r\n>  12\r\n\r\n%a\r\n>lower\r\n\n%B\n>x \xe9y \n");
  EXPECT_EQ(ConfigWriter::loadString("k.cfg", "A"), "  12");  // leading spaces kept, CR removed
  EXPECT_EQ(ConfigWriter::loadString("k.cfg", "a"), "lower");  // case-sensitive names
  EXPECT_EQ(ConfigWriter::loadString("k.cfg", "B"), "x y ");
  EXPECT_EQ(ConfigWriter::loadInt("k.cfg", "A"), 12);

  ConfigWriter::writeString("k.cfg", "a", "v");
  EXPECT_EQ(get("k.cfg"), "#comment\n%A\n>  12\n\n%a\n>v\n\n%B\n>x y \n\n");

  // A value is one printable line: control characters are dropped, and an
  // empty value (which could never be read back) leaves the file alone.
  ConfigWriter::writeString("k.cfg", "B", "two\nlines");
  EXPECT_EQ(ConfigWriter::loadString("k.cfg", "B"), "twolines");
  const std::string before = get("k.cfg");
  ConfigWriter::writeString("k.cfg", "B", "");
  ConfigWriter::writeString("k.cfg", "B", "\r\n");
  EXPECT_EQ(get("k.cfg"), before);
}

TEST_F(ConfigWriterTest, TypedValuesAndConversions) {
  ConfigWriter::writeBool("t.cfg", "FLAG", true);
  ConfigWriter::writeInt("t.cfg", "NUM", -42);
  ConfigWriter::writeDouble("t.cfg", "D", 1234567.0);
  EXPECT_TRUE(ConfigWriter::loadBool("t.cfg", "FLAG"));
  EXPECT_EQ(ConfigWriter::loadInt("t.cfg", "NUM"), -42);
  EXPECT_EQ(ConfigWriter::loadString("t.cfg", "D"), "1.23457e+06");
  ConfigWriter::writeBool("t.cfg", "FLAG", false);
  EXPECT_FALSE(ConfigWriter::loadBool("t.cfg", "FLAG"));

  ConfigWriter::writeString("t.cfg", "D", " 2.5");
  EXPECT_DOUBLE_EQ(ConfigWriter::loadDouble("t.cfg", "D"), 2.5);

  int v = 7;
  EXPECT_TRUE(ConfigWriter::strToInt(" 42", v));
  for (const char* bad : {"42 ", "4x", ""}) EXPECT_FALSE(ConfigWriter::strToInt(bad, v)) << bad;
  EXPECT_EQ(v, 42);
}

TEST_F(ConfigWriterTest, FileErrorsAreFatal) {
  const std::string p = dir + "k.cfg";
  EXPECT_FATAL(ConfigWriter::loadString("k.cfg", "A"), "^ConfigWriter couldn't open " + p + " for reading\n");

  struct Case {
    std::string file, text;
  } reading[] = {
      {"# c\n%B\n>1\n", "ConfigWriter couldn't find A in file " + p},
      {"%\n>1\n%A\n>2\n", "File " + p + " contains a % with no identifier"},
      {"%A\n>\n", "ConfigWriter found no value for A in file " + p},
      {"%A\nx1\n", "ConfigWriter expected > to indicate the value for A in file " + p},
  };
  for (const Case& c : reading) {
    put("k.cfg", c.file);
    EXPECT_FATAL(ConfigWriter::loadString("k.cfg", "A"), "^" + c.text + "\n");
  }

  // For writing, every entry must be well formed, not only the one written.
  // The text ends with the number of the line at fault.
  Case writing[] = {
      {"%A\n>1\n\njunk\n", "ConfigWriter error reading " + p + ": junk\nExpected a comment or ID at line 4"},
      {"%\n>1\n", "ConfigWriter: expected config ID after % symbol in file " + p + " at line 1"},
      {"%A\n=1\n", "ConfigWriter expected > to preceed the value for %A in file " + p + " at line 2"},
      {"# a\n%A\n>1\n\n# b\nstray\n",
       "ConfigWriter error reading from file " + p + "\nInvalid line after comments section: stray at line 6"},
  };
  for (const Case& c : writing) {
    put("k.cfg", c.file);
    EXPECT_FATAL(ConfigWriter::writeString("k.cfg", "B", "2"), "^" + c.text + "\n");
    // The program's own writes get the text instead and leave the file as it was.
    std::string error;
    EXPECT_FALSE(ConfigWriter::tryWriteString("k.cfg", "B", "2", error));
    EXPECT_EQ(c.text, error);
    error.clear();
    EXPECT_FALSE(ConfigWriter::canRewrite("k.cfg", error));
    EXPECT_EQ(c.text, error);
    EXPECT_EQ(c.file, get("k.cfg"));
  }

  put("k.cfg", "%A\ntrue\n%B\n>true\n%C\n>1.5\n%D\n>1.5x\n");
  EXPECT_FATAL(ConfigWriter::loadBool("k.cfg", "B"), "^For file " + p + ", label B, expected TRUE or FALSE\n");
  EXPECT_FATAL(ConfigWriter::loadInt("k.cfg", "C"), "^For file " + p + ", label C, expected int\n");
  EXPECT_FATAL(ConfigWriter::loadDouble("k.cfg", "D"), "^For file " + p + ", label D, expected a double\n");

  ConfigWriter::setPath(dir + "missing/");
  EXPECT_FATAL(ConfigWriter::writeString("k.cfg", "A", "2"),
               "^ConfigWriter couldn't open " + dir + "missing/k.cfg for writing\n");
}
}  // namespace
