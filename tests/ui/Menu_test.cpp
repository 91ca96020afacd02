#include "MenuManager.h"

#include <allegro.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ButtonObject.h"
#include "ConfigWriter.h"
#include "FatalTest.h"
#include "InputStatus.h"
#include "KivSettings.h"
#include "TextBox.h"
#include "TickDriver.h"
#include "UiTestSetup.h"

namespace {

const std::string DATA = std::string(BRELVIN_SOURCE_DIR) + "/data/";

// Allegro's 8-pixel font and no screen mode: centred widgets straddle x = 0,
// so x = 0 is over every button, and widths are exact.
class MenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::useFonts(false);
    InputStatus::reset();
    uitest::scratchSettings();
    KivSettings::setWorkingDir(DATA);
  }
  void TearDown() override { InputStatus::reset(); }

  // Ticks until the menu's input delay is over.
  void settle(MenuManager& menu) {
    for (int t = 0; t < MenuManager::INPUT_DELAY_TICKS; ++t) {
      in.feed();
      ASSERT_EQ("NONE", menu.run());
    }
  }
  std::string tick(MenuManager& menu, int scancode = -1, char ascii = 0) {
    in.feed(scancode, ascii);
    return menu.run();
  }
  // Presses over (x0, y0), releases over (x1, y1); returns the release tick's action.
  std::string clickDrag(MenuManager& menu, int x0, int y0, int x1, int y1) {
    in.x = x0, in.y = y0, in.left = true;
    EXPECT_EQ("NONE", tick(menu));
    in.x = x1, in.y = y1, in.left = false;
    return tick(menu);
  }
  std::string click(MenuManager& menu, const ButtonObject* b) {
    return clickDrag(menu, 0, b->getY() + 10, 0, b->getY() + 10);
  }

  uitest::TickDriver in;
};

TEST_F(MenuTest, ButtonsActOnReleaseOverThemAfterTheDelay) {
  MenuManager menu;
  menu.setMenu(MAIN_MENU);
  const ButtonObject* exitButton = menu.getButtons()[3];
  const int over = exitButton->getY() + 10;

  // Pressed during the delay, released after it: the press was never seen.
  in.x = 0, in.y = over;
  for (int t = 0; t < 14; ++t) EXPECT_EQ("NONE", tick(menu));
  in.left = true;
  EXPECT_EQ("NONE", tick(menu));  // the 15th tick still ignores input
  in.left = false;
  EXPECT_EQ("NONE", tick(menu));

  EXPECT_EQ("NONE", clickDrag(menu, 0, over, 0, over + 60));  // released off it
  EXPECT_EQ("NONE", clickDrag(menu, 0, over + 60, 0, over));  // pressed off it
  const int options = menu.getButtons()[2]->getY() + 10;
  EXPECT_EQ("NONE", clickDrag(menu, 0, options, 0, over));    // released on another
  EXPECT_EQ(0, menu.getFocusKind());
  EXPECT_EQ("EXIT", click(menu, exitButton));
}

TEST_F(MenuTest, EscapeMapsByMenu) {
  const struct {
    MenuState state;
    const char* action;
  } cases[] = {{MAIN_MENU, "EXIT"},     {ERROR_MESSAGE, "EXIT"},  {HOST_SETUP, "CANCEL"},
               {CLIENT_SETUP, "CANCEL"}, {OPTIONS_MENU, "CANCEL"}, {WAIT_FOR_CONNECT, "NONE"}};
  for (const auto& c : cases) {
    MenuManager menu;
    menu.setMenu(c.state);
    settle(menu);
    EXPECT_EQ(c.action, tick(menu, KEY_ESC, 27)) << c.state;
    in.repeat(KEY_ESC, 27);
    EXPECT_EQ("NONE", menu.run()) << "held, not newly pressed";
    tick(menu);
    tick(menu);
  }
}

TEST_F(MenuTest, EveryEditIsReportedWithTheWholeText) {
  MenuManager menu;
  menu.setMenu(HOST_SETUP);
  settle(menu);
  const TextBox* width = menu.getTextBoxes()[1];
  // The two size boxes are one above the other.
  EXPECT_EQ(width->getTextLeft(), menu.getTextBoxes()[2]->getTextLeft());
  // Clicking right of the text puts the caret at its end.
  EXPECT_EQ("NONE", clickDrag(menu, width->getRight() - 1, width->getY() + 5, width->getRight() - 1,
                              width->getY() + 5));
  EXPECT_EQ(2, menu.getFocusKind());
  EXPECT_EQ("MAP WIDTH", tick(menu, KEY_5, '5'));
  EXPECT_EQ("16005", menu.getUserText());
  EXPECT_EQ("NONE", tick(menu));

  // A remembered address far wider than its box is shown scrolled to its
  // end and reported whole with the edit.
  const std::string address = "bookkeeper-committee.lan-party.example.invalid";
  ConfigWriter::writeString("kivsettings.cfg", "PREVIOUS_INPUT_ADDRESS", address);
  menu.setMenu(CLIENT_SETUP);
  settle(menu);
  const TextBox* ip = menu.getTextBoxes()[1];
  EXPECT_EQ(address, ip->getText());
  EXPECT_GT(ip->getScrollOffset(), 0);
  clickDrag(menu, ip->getRight() - 1, ip->getY() + 5, ip->getRight() - 1, ip->getY() + 5);
  EXPECT_EQ("IP ADDR", tick(menu, KEY_X, 'x'));
  EXPECT_EQ(address + "x", menu.getUserText());
}

TEST_F(MenuTest, ModeAndPacingButtonsShowWhatSaveApplies) {
  MenuManager menu;
  menu.setMenu(OPTIONS_MENU);
  settle(menu);
  // The fields line up in one column, whatever their labels, and so do the
  // labels' last letters ("Vertical Resolution " ends in a space).
  auto labelEnd = [](const TextBox* box) {
    std::string label = box->getLabel();
    label.erase(label.find_last_not_of(' ') + 1);
    return box->getLeft() + text_length(font, label.c_str());
  };
  for (const TextBox* box : menu.getTextBoxes()) {
    EXPECT_EQ(menu.getTextBoxes()[0]->getTextLeft(), box->getTextLeft());
    EXPECT_EQ(labelEnd(menu.getTextBoxes()[0]), labelEnd(box)) << box->getLabel();
  }
  const ButtonObject* mode = menu.getButtons()[0];
  EXPECT_EQ("Windowed", click(menu, mode));
  EXPECT_TRUE(mode->getText() == "Fullscreen" && mode->getAction() == "Fullscreen");
  // The wider caption widens the hit box with it: "Fullscreen" spans 128.
  EXPECT_EQ(128, mode->getButtonWidth());
  EXPECT_EQ("Fullscreen", click(menu, mode));
  EXPECT_EQ("Windowed", mode->getText());

  // So does the pacing button, from the bandwidth it was last given.
  const ButtonObject* pacing = menu.getButtons()[1];
  EXPECT_EQ("Joins paced by the link", pacing->getText());
  EXPECT_EQ(MenuManager::LINK_PACED_ACTION, click(menu, pacing));
  const std::pair<const char*, const char*> paced[] = {{"65535", MenuManager::STEADY_PACED_ACTION},
                                                        {"65536", MenuManager::LINK_PACED_ACTION},
                                                        {"fast", MenuManager::STEADY_PACED_ACTION}};
  for (const auto& p : paced) {
    menu.setSyncPacing(p.first);
    EXPECT_EQ(p.second, pacing->getAction()) << p.first;
  }
  EXPECT_EQ("Joins at 64 KB/s at most", pacing->getText());
}

TEST(MenuManagerWrap, BreaksAtSpacesOrEveryNCharacters) {
  uitest::useFonts(false);
  // 120 characters of 8 pixels on a 480-pixel-high screen: 960 / 448 + 1 =
  // 3 pieces, so lines of at most 40 characters.
  std::string words;
  while (words.size() < 120) words += "abcdefgh ";
  words.resize(120);
  std::vector<std::string> lines = MenuManager::wrapMessage(words, font, 480);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("abcdefgh abcdefgh abcdefgh abcdefgh", lines[0]);  // break before the space at 35
  std::string joined;
  for (const std::string& l : lines) joined += l;
  EXPECT_EQ(words, joined);

  // A screen too short for the formula still makes progress.
  lines = MenuManager::wrapMessage("ab cd", font, 0);
  EXPECT_EQ(5u, lines.size());

  EXPECT_FATAL(MenuManager::wrapMessage("", font, 480),
               "Something is wrong in MenuManager::displayErrorMsg\\(\\)");
}

}  // namespace
