// The install as a new user meets it (run under Xvfb): cmake --install into
// a temporary prefix lays out the launcher, the program, its data, a valid
// desktop entry, the icons and the README; the launcher, started with an
// empty home from an unrelated folder, makes the user's folder, reaches the
// main menu and exits, and nothing is written into the install.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ProgramUnderX.h"

namespace {

using namespace underx;

TEST(Install, LauncherStartsANewUserInTheirOwnFolder) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (these tests run under xvfb-run)";
  char pattern[] = "/tmp/brelvin-install-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string tmp = pattern, prefix = tmp + "/prefix", home = tmp + "/home";
  ASSERT_EQ(0, std::system(("cmake --install '" BRELVIN_BINARY_DIR "' --prefix '" + prefix + "' > '" + tmp +
                            "/install.log' 2>&1")
                               .c_str()))
      << readFile(tmp + "/install.log");

  for (const char* program : {"bin/brelvin", "bin/brelvin-host", "libexec/brelvin/brelvin"})
    EXPECT_EQ(0, access((prefix + "/" + program).c_str(), X_OK)) << program;
  for (const char* file : {"share/brelvin/hoard.dat", "share/brelvin/kivsettings.cfg",
                           "share/brelvin/graphics/gui/paint_gui.bmp", "share/doc/brelvin/README.md"})
    EXPECT_EQ(0, access((prefix + "/" + file).c_str(), R_OK)) << file;
  const std::string entry = prefix + "/share/applications/brelvin.desktop";
  EXPECT_EQ(shell("desktop-file-validate '" + entry + "' 2>&1; echo $?"), "0\n");
  for (const std::string size : {"16x16", "48x48", "256x256"})
    EXPECT_EQ(shell("identify -format %wx%h '" + prefix + "/share/icons/hicolor/" + size + "/apps/brelvin.png'"), size);

  // From here on the install is only read.
  const std::string marker = tmp + "/installed";
  ASSERT_EQ(0, std::system(("touch '" + marker + "'").c_str()));
  ASSERT_EQ(0, mkdir(home.c_str(), 0755));
  setenv("BRELVIN_E2E_BINARY", (prefix + "/bin/brelvin").c_str(), 1);
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  {
    Program prog;  // started in a copy of data/, which the launcher leaves
    ASSERT_TRUE(prog.start());
    ASSERT_TRUE(prog.printed("Initialized graphics\n", 30)) << prog.output();
    // The main menu over the empty canvas's background: its first button
    // is bright at (430, 166); Exit is the last one, at (512, 305).
    prog.xdo("mousemove 5 700");
    EXPECT_TRUE(prog.waitScreen(10, [](const Shot& s) {
      return s.at(100, 600) == 0x002010 && (s.at(430, 166) & 0xC0C0C0) != 0;
    }));
    int status = -1;
    eventually(30, [&] {
      prog.xdo("mousemove 512 305 click 1");
      return (status = prog.waitExit(0.5)) != -1;
    });
    EXPECT_EQ(status, 0) << prog.output();
    EXPECT_EQ(prog.sanitizerReport(), "");
  }

  const std::string user = home + "/.local/share/brelvin";
  EXPECT_EQ(readFile(user + "/kivsettings.cfg"), readFile(prefix + "/share/brelvin/kivsettings.cfg"));
  char target[4096] = {};
  for (const char* shared : {"hoard.dat", "graphics"}) {
    const ssize_t n = readlink((user + "/" + shared).c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0) << shared;
    EXPECT_EQ(std::string(target, static_cast<size_t>(n)), prefix + "/share/brelvin/" + shared);
  }
  EXPECT_EQ(shell("find '" + prefix + "' -newer '" + marker + "'"), "");
  std::system(("rm -rf '" + tmp + "'").c_str());
}

}  // namespace
