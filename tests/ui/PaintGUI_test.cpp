#include "GUIManager.h"

#include <allegro.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>

#include "AllegTools.h"
#include "ChatMessage.h"
#include "InputStatus.h"
#include "DEngine.h"
#include "EnginePump.h"
#include "KivClient.h"
#include "KivServer.h"
#include "ChatProtocol.h"
#include "DrawingProtocol.h"
#include "KivSettings.h"
#include "NetSystem.h"
#include "TickDriver.h"
#include "UiTestSetup.h"
#include "WorldMap.h"
#include "../session/CanvasTestSupport.h"

namespace {

const std::string DATA = std::string(BRELVIN_SOURCE_DIR) + "/data/";

// Keeps the shell library's outline filter (used by chat lines) in the link.
auto* const outlineFilter = &AllegTools::drawOutline;

// The delivered panel (640 x 120) on a 1024 x 768 screen sits at (192, 648);
// without a canvas the world map is 1600 x 1600.
class PaintGUITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, outlineFilter);
    uitest::useFonts(false);
    InputStatus::reset();
    KivSettings::deleteMessages();
    KivSettings::setWorkingDir(DATA);
    KivSettings::setFillType(1);
    KivSettings::setBrushSize(0);
    ASSERT_TRUE(make(nullptr, 1024, 768));
  }
  // A new panel; initialize() prints the working directory.
  bool make(NetSystem* net, int width, int height) {
    gui.reset(new GUIManager(net));
    testing::internal::CaptureStdout();
    const bool ok = gui->initialize(width, height);
    testing::internal::GetCapturedStdout();
    return ok;
  }
  void TearDown() override { InputStatus::reset(); }

  void tick(int scancode = -1, char ascii = 0) {
    in.feed(scancode, ascii);
    gui->run(scrollX, scrollY, canvas);
  }
  // A key pressed for one tick, then two quiet ticks so its flag clears.
  void press(int scancode, char ascii) {
    for (int t = 0; t < 3; ++t) tick(t == 0 ? scancode : -1, ascii);
  }
  void moveTo(int x, int y, bool left) {
    in.x = x, in.y = y, in.left = left;
    tick();
  }
  void clickAt(int x, int y) { moveTo(x, y, true), moveTo(x, y, false); }
  std::string segment(int i) {
    DrawingData d;
    EXPECT_TRUE(gui->getHighlighting(d, i));
    return std::to_string(d.getFirstX()) + "," + std::to_string(d.getFirstY()) + "-" +
           std::to_string(d.getSecondX()) + "," + std::to_string(d.getSecondY());
  }

  std::unique_ptr<GUIManager> gui;
  WorldMap map;
  WorldMap* canvas = &map;  // the one the ticks run over
  uitest::TickDriver in;
  long scrollX = 0, scrollY = 0;
};

TEST_F(PaintGUITest, PaletteAndBrushHitBoxes) {
  // Swatch (3, 2): colour 18, hit box from (549, 709) to (564, 724).
  clickAt(549, 709);
  EXPECT_EQ(18, KivSettings::getFillType());

  // Brush k: icon at (486 - k, 688 + 19k), box 3 pixels around a 2k + 1 square.
  clickAt(482, 704);
  EXPECT_EQ(1, KivSettings::getBrushSize());
  clickAt(483 + 9, 745 + 9);
  EXPECT_EQ(3, KivSettings::getBrushSize());
  clickAt(479, 745);
  EXPECT_EQ(3, KivSettings::getBrushSize());
  // Panel clicks draw nothing.
  EXPECT_EQ(0, gui->getHighlightSize());
}

TEST_F(PaintGUITest, KeyboardShortcutsWrapAndSaturate) {
  KivSettings::setFillType(100);
  press(KEY_STOP, '.');
  EXPECT_EQ(1, KivSettings::getFillType());
  press(KEY_COMMA, ',');
  EXPECT_EQ(0, KivSettings::getFillType());
  press(KEY_COMMA, ',');  // the same key again
  EXPECT_EQ(100, KivSettings::getFillType());
  for (int i = 0; i < 4; ++i) press(KEY_EQUALS, '=');
  EXPECT_EQ(3, KivSettings::getBrushSize());
  for (int i = 0; i < 5; ++i) press(KEY_MINUS, '-');
  EXPECT_EQ(0, KivSettings::getBrushSize());
}

TEST_F(PaintGUITest, ScrollingByKeysAndArrowsReachesEveryPixelAboveThePanel) {
  in.x = 100, in.y = 100;
  for (int t = 0; t < 30; ++t) tick(KEY_RIGHT);
  EXPECT_EQ(1600 - 1024, scrollX);
  // The canvas's last row can come up to just above the panel (at y 648).
  for (int t = 0; t < 60; ++t) tick(KEY_DOWN);
  EXPECT_EQ(1600 - 648, scrollY);

  // Holding the button on the up arrow scrolls every tick, the click included.
  tick();
  tick();  // the Down flag outlives its key by one tick
  scrollY = 100;
  in.x = 417 + 5, in.y = 685 + 5, in.left = true;
  for (int t = 0; t < 3; ++t) tick();
  EXPECT_EQ(40, scrollY);
  for (int t = 0; t < 3; ++t) tick();
  EXPECT_EQ(0, scrollY);
  EXPECT_EQ(0, gui->getHighlightSize());
}

TEST_F(PaintGUITest, DragsBecomeOneSegmentPerTick) {
  scrollX = 40;
  scrollY = 10;
  moveTo(100, 100, true);  // click: the stroke starts
  EXPECT_EQ(0, gui->getHighlightSize());
  moveTo(110, 100, true);
  moveTo(110, 100, true);  // no movement: a zero-length segment
  moveTo(120, 105, false);  // the release ends the stroke
  ASSERT_EQ(3, gui->getHighlightSize());
  EXPECT_EQ("140,110-150,110", segment(0));
  EXPECT_EQ("150,110-150,110", segment(1));
  EXPECT_EQ("150,110-160,115", segment(2));
  gui->clearOldHighlights();

  // A drag that reaches the panel (at y 648) ends on the row just above it,
  // where its last segment meets it, and coming back with the button held
  // starts a new stroke.
  moveTo(300, 600, true);
  moveTo(300, 640, true);
  moveTo(350, 700, true);  // over the panel
  moveTo(310, 720, true);
  ASSERT_EQ(2, gui->getHighlightSize());
  EXPECT_EQ("340,610-340,650", segment(0));
  EXPECT_EQ("340,650-346,657", segment(1));
  moveTo(320, 500, true);  // back on the canvas: a click
  moveTo(330, 500, true);
  ASSERT_EQ(3, gui->getHighlightSize());
  EXPECT_EQ("360,510-370,510", segment(2));
  moveTo(330, 500, false);
  gui->clearOldHighlights();

  // One fast jump onto the panel from beside it (x 192 to 831) ends in the
  // column just left of it.
  moveTo(100, 740, true);
  moveTo(600, 700, true);
  ASSERT_EQ(1, gui->getHighlightSize());
  EXPECT_EQ("140,750-231,743", segment(0));
  moveTo(600, 700, false);
  gui->clearOldHighlights();

  // A click taken by the panel whose release is first seen over the canvas
  // began no stroke, so it paints nothing (no line from a stale start).
  moveTo(400, 700, true);
  moveTo(300, 300, false);
  EXPECT_EQ(0, gui->getHighlightSize());

  // At most 30 pending: the oldest go first.
  moveTo(0, 0, true);
  for (int t = 1; t <= 40; ++t) moveTo(t, 0, true);
  ASSERT_EQ(30, gui->getHighlightSize());
  EXPECT_EQ("50,10-51,10", segment(0));
  EXPECT_EQ("79,10-80,10", segment(29));
}

// A canvas of its own, made quietly.
struct Canvas {
  TestSyncEngine engine;
  WorldMap map;
  explicit Canvas(int side) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(map.create(side, side, &engine));
    testing::internal::GetCapturedStdout();
  }
};

// At every scale a stroke is the canvas points under the pointer, and it
// paints exactly what a stroke through the same canvas points paints at 1:1.
TEST_F(PaintGUITest, ZoomedStrokesPaintWhatTheSameCanvasPointsPaintAt1To1) {
  Canvas zoomed(2000), plain(2000);
  canvas = &plain.map;
  KivSettings::setBrushSize(2);
  KivSettings::setFillType(7);
  auto taken = [&] {
    std::vector<DrawingData> out(static_cast<size_t>(gui->getHighlightSize()));
    for (size_t i = 0; i < out.size(); ++i) gui->getHighlighting(out[i], static_cast<int>(i));
    gui->clearOldHighlights();
    return out;
  };
  auto paint = [](WorldMap& map, const std::vector<DrawingData>& strokes) {
    for (const DrawingData& d : strokes) map.applyLineDrawing(d.getFirstX(), d.getFirstY(), d.getSecondX(), d.getSecondY(), 2, 7);
  };
  // Points on the canvas at every one of those scales.
  const std::vector<std::pair<int, int>> screen = {{220, 100}, {251, 101}, {291, 163}, {520, 300}, {523, 450}};
  // From 1:1 the wheel goes to 4:1, 1:2 and the whole canvas (648 / 2000).
  for (int turns : {2, -1, -2}) {
    gui->resetView();
    scrollX = 600, scrollY = 700;
    in.x = 512, in.y = 300, in.wheel = turns;
    tick();
    const ViewTransform view = gui->getView();
    ASSERT_EQ(scrollX, view.originX);
    for (const auto& p : screen) moveTo(p.first, p.second, true);
    moveTo(screen.back().first, screen.back().second, false);
    const std::vector<DrawingData> strokes = taken();
    ASSERT_EQ(screen.size(), strokes.size()) << view.label();
    for (size_t i = 1; i < screen.size(); ++i) {
      EXPECT_EQ(view.toCanvasX(screen[i].first), strokes[i - 1].getSecondX()) << view.label();
      EXPECT_EQ(view.toCanvasY(screen[i].second), strokes[i - 1].getSecondY()) << view.label();
    }
    paint(zoomed.map, strokes);

    // The same segments at 1:1, the pointer on their canvas points.
    gui->resetView();
    for (const DrawingData& d : strokes) {
      scrollX = std::min(d.getFirstX(), d.getSecondX()) - 10;
      scrollY = std::min(d.getFirstY(), d.getSecondY()) - 10;
      gui->checkScrollingLimits(scrollX, scrollY, &plain.map);
      moveTo(static_cast<int>(d.getFirstX() - scrollX), static_cast<int>(d.getFirstY() - scrollY), true);
      for (bool held : {true, false})
        moveTo(static_cast<int>(d.getSecondX() - scrollX), static_cast<int>(d.getSecondY() - scrollY), held);
      paint(plain.map, taken());
    }
  }
  long painted = 0;
  unsigned char a[3], b[3];
  for (long y = 0; y < 2000; ++y)
    for (long x = 0; x < 2000; ++x) {
      zoomed.map.pixelAt(x, y, a);
      plain.map.pixelAt(x, y, b);
      ASSERT_TRUE(a[0] == b[0] && a[1] == b[1] && a[2] == b[2]) << x << "," << y;
      painted += a[0] != 0 || a[1] != 0 || a[2] != 0;
    }
  EXPECT_GT(painted, 10000);
}

TEST_F(PaintGUITest, WheelKeysAndMiddleDragZoomAndScrollAroundThePointer) {
  Canvas wide(3000);  // wider than the view at 1:2
  canvas = &wide.map;
  scrollX = 500, scrollY = 400;
  in.x = 300, in.y = 200;
  auto under = [&] { return std::make_pair(gui->getView().toCanvasX(300), gui->getView().toCanvasY(200)); };
  const auto point = std::make_pair(800L, 600L);
  in.wheel = 1;
  tick();
  EXPECT_EQ("2:1", gui->getView().label());
  EXPECT_EQ(point, under());
  press(KEY_PGDN, 0);
  press(KEY_PGDN, 0);
  EXPECT_EQ("1:2", gui->getView().label());
  EXPECT_EQ(point, under());
  // The arrows move 20 screen pixels a tick: 40 canvas pixels at 1:2 (the
  // key's flag outlives it by a tick).
  tick(KEY_RIGHT);
  tick(), tick();
  EXPECT_EQ(500 - 300 + 80, scrollX);
  // The middle button drags the canvas with the pointer.
  in.middle = true;
  tick();
  in.x = 350, in.y = 180;
  tick();
  in.middle = false;
  tick();
  EXPECT_EQ(280 - 100, scrollX);
  EXPECT_EQ(200 + 40, scrollY);
  // Home: back to 1:1 around the pointer.
  press(KEY_PGUP, 0);
  EXPECT_EQ("1:1", gui->getView().label());
  in.x = 300, in.y = 200;
  press(KEY_PGDN, 0);
  const auto there = under();
  press(KEY_HOME, 0);
  EXPECT_EQ("1:1", gui->getView().label());
  EXPECT_EQ(there, under());
  EXPECT_EQ(0, gui->getHighlightSize());
}

TEST_F(PaintGUITest, OverviewFramesTheViewAClickMovesItAndTheRightButtonPicksColours) {
  Canvas picture(1600);
  canvas = &picture.map;
  auto run = [&] { gui->run(scrollX, scrollY, canvas); };
  auto at = [&](int x, int y, bool left) {
    in.x = x, in.y = y, in.left = left;
    in.feed();
    run();
  };
  in.feed(KEY_M, 'm');
  run();
  const OverviewMap& map = gui->getOverview();
  ASSERT_TRUE(map.isShown());
  // 200 x 200 in the top-right corner, well above the panel.
  EXPECT_TRUE(map.getX() == 1024 - 8 - 200 && map.getY() == 24 && map.getWidth() == 200 && map.getHeight() == 200);
  // A click centres the view on the map's point; a drag takes it along,
  // held at the canvas's edges. Neither paints.
  at(816 + 100, 24 + 50, true);
  EXPECT_EQ(800 - 512, scrollX);
  EXPECT_EQ(400 - 324, scrollY);
  at(816 + 199, 24 + 199, true);
  at(816 + 199, 24 + 199, false);
  EXPECT_EQ(1600 - 1024, scrollX);
  EXPECT_EQ(1600 - 648, scrollY);
  EXPECT_EQ(0, gui->getHighlightSize());
  // A stroke that runs onto the map ends beside it.
  at(700, 100, true);
  at(900, 100, true);
  at(900, 100, false);
  ASSERT_EQ(1, gui->getHighlightSize());
  DrawingData d;
  gui->getHighlighting(d, 0);
  EXPECT_EQ(scrollX + 814, d.getSecondX());
  gui->clearOldHighlights();

  // The right button takes the colour under the pointer, also zoomed out.
  picture.map.drawRect(1000, 1000, 1099, 1099, 42);
  in.right = true;
  at(1000 - static_cast<int>(scrollX) + 50, 1000 - static_cast<int>(scrollY) + 50, false);
  in.right = false;
  at(0, 0, false);
  EXPECT_EQ(42, KivSettings::getFillType());
  KivSettings::setFillType(3);
  in.wheel = -1;
  at(1000 - static_cast<int>(scrollX), 1000 - static_cast<int>(scrollY), false);
  const ViewTransform& view = gui->getView();
  ASSERT_EQ("1:2", view.label());
  in.right = true;
  at(static_cast<int>(view.toScreenX(1050)), static_cast<int>(view.toScreenY(1050)), false);
  in.right = false;
  at(0, 0, false);
  EXPECT_EQ(42, KivSettings::getFillType());
  EXPECT_EQ(0, gui->getHighlightSize());

  in.feed(KEY_M, 'm');
  run();
  at(0, 0, false), at(0, 0, false);  // the same key again types two ticks later
  EXPECT_FALSE(map.isShown() || map.contains(816 + 100, 24 + 50));
}

TEST_F(PaintGUITest, ChatLineTakesTheKeyboard) {
  in.x = 100, in.y = 100;
  press(KEY_ENTER, 13);
  ASSERT_TRUE(gui->isChatActive());
  press(KEY_A, 'a');
  press(KEY_B, 'b');
  press(KEY_RIGHT, 0);  // no scrolling while typing
  press(KEY_BACKSPACE, 8);
  EXPECT_EQ("a", gui->getChatInput());
  EXPECT_EQ(0, scrollX);
  press(KEY_STOP, '.');  // typed, not a shortcut
  EXPECT_EQ(1, KivSettings::getFillType());
  EXPECT_EQ("a.", gui->getChatInput());

  // Characters stop at half the screen width: 64 of 8 pixels. Three keys
  // in turn, so each one's flag has cleared before it goes down again.
  for (int i = 0; i < 70; ++i) tick(KEY_A + i % 3, static_cast<char>('a' + i % 3));
  EXPECT_EQ(64u, gui->getChatInput().size());

  // Escape drops the line, frees the keyboard and also ends the session.
  press(KEY_ESC, 27);
  EXPECT_FALSE(gui->isChatActive() || InputStatus::getMaskingKeyboard());
  EXPECT_TRUE(gui->getRequestHalt());
  EXPECT_FALSE(gui->getRequestHalt());

  // Ending the session with the line open gives the keyboard back.
  press(KEY_ENTER, 13);
  ASSERT_TRUE(InputStatus::getMaskingKeyboard());
  gui->deleteMessages();
  EXPECT_FALSE(gui->isChatActive() || InputStatus::getMaskingKeyboard());
}

TEST_F(PaintGUITest, ControlSAsksOnceForASaveExceptWhileTyping) {
  // Control held with S, as the keyboard reports it: both keys down and S's
  // control code read; while the keys stay down, the desktop's repeat.
  auto controlS = [&] {
    InputStatus::RawInput raw;
    raw.mouseX = raw.mouseY = 100;
    raw.keysDown[KEY_LCONTROL] = raw.keysDown[KEY_S] = true;
    raw.keysRead.push_back(KEY_S << 8 | 19);
    InputStatus::applyRaw(raw, in.lastKey);
    gui->run(scrollX, scrollY, &map);
  };
  in.x = in.y = 100;
  controlS();
  EXPECT_TRUE(gui->getRequestSave());
  {
    uitest::AfterRepeatDelay later;
    controlS();  // still held
  }
  EXPECT_FALSE(gui->getRequestSave());
  press(-1, 0);
  press(KEY_S, 's');
  EXPECT_FALSE(gui->getRequestSave());

  press(KEY_ENTER, 13);
  controlS();
  EXPECT_FALSE(gui->getRequestSave());
}

TEST_F(PaintGUITest, EnterSendsTheLineThroughTheNetwork) {
  libkorvet::DEngine engine;
  NetSystem net(&engine);
  net.setPlayerName("Ann");
  ASSERT_TRUE(make(&net, 1024, 768));
  testing::internal::CaptureStdout();
  for (auto k : {std::make_pair(KEY_ENTER, 13), {KEY_H, 'h'}, {KEY_I, 'i'}, {KEY_ENTER, 13}})
    press(k.first, static_cast<char>(k.second));
  testing::internal::GetCapturedStdout();
  // Without a session the sender's own line shows at once, in the users' colour.
  ASSERT_EQ(1u, gui->getShownMessages().size());
  const ChatMessage* line = gui->getShownMessages()[0];
  EXPECT_TRUE(line->getOwner() == "Ann" && line->getText() == "hi" && line->getColor() == 4);
  gui.reset();  // before the facade it points to
}

// A client of the GUI host's session, with a canvas of its own.
struct Guest {
  Guest(libkorvet::DEngine* e, unsigned short port, const std::string& name) : client(e, &map, &drawing, &chat) {
    client.setPlayerName(name);
    client.connectToHost("127.0.0.1", port);
  }
  WorldMap map;
  DrawingProtocol drawing;
  ChatProtocol chat;
  KivClient client;
};

TEST_F(PaintGUITest, TabShowsWhoIsInTheSessionAndTheHostModeratesThere) {
  libkorvet::DEngine engine;
  NetSystem net(&engine);
  net.setPlayerName("Ann");
  net.setSessionPort(0);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(net.hostNewGame(1600, 1600, &map)) << net.getErrMsg();
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(make(&net, 1024, 768));
  testing::internal::CaptureStdout();
  press(KEY_TAB, '\t');
  const PlayerListOverlay& list = gui->getPlayerList();
  ASSERT_TRUE(list.isOpen());
  ASSERT_EQ(2u, list.rows().size());
  EXPECT_EQ("Ann (host)", list.rows()[0].text);
  EXPECT_EQ("Lock canvas", list.rows()[1].text);
  BITMAP* screen = create_bitmap_ex(8, 1024, 768);
  clear_to_color(screen, 0);
  gui->display(screen);
  EXPECT_NE(0, getpixel(screen, 1024 / 2, PlayerListOverlay::TOP));
  destroy_bitmap(screen);

  Guest bo(&engine, net.getListenPort(), "Bo");
  Guest cy(&engine, net.getListenPort(), "Cy");
  ASSERT_TRUE(testnet::pump({&engine}, [&] { return net.listPlayers().size() == 3; }));
  const int x0 = PlayerListOverlay::left(1024);
  auto clickRow = [&](int row, int dx) { clickAt(x0 + dx, PlayerListOverlay::rowY(row)); };
  ASSERT_EQ("Bo  127.0.0.1", list.rows()[1].text);
  // A click offers Kick and Ban; the strokes of these clicks paint nothing.
  clickRow(1, 20);
  EXPECT_EQ(list.rows()[1].id, list.getSelected());
  clickRow(1, PlayerListOverlay::KICK_X + 5);
  ASSERT_TRUE(testnet::pump({&engine}, [&] { return !bo.client.getClientOK(); }));
  EXPECT_EQ("The host removed you from the session", bo.client.getErrMsg());
  EXPECT_FALSE(bo.client.lostConnection());
  ASSERT_EQ("Cy  127.0.0.1", list.rows()[1].text);
  clickRow(1, 20);
  clickRow(1, PlayerListOverlay::BAN_X + 5);
  ASSERT_TRUE(testnet::pump({&engine}, [&] { return !cy.client.getClientOK(); }));
  ASSERT_EQ(3u, list.rows().size());
  EXPECT_EQ("banned  127.0.0.1", list.rows()[1].text);
  EXPECT_EQ(0, gui->getHighlightSize());
  {
    Guest again(&engine, net.getListenPort(), "Cy");
    ASSERT_TRUE(testnet::pump({&engine}, [&] { return !again.client.getClientOK(); }));
    EXPECT_EQ("The host at 127.0.0.1 has banned this address", again.client.getErrMsg());
  }
  clickRow(1, PlayerListOverlay::BAN_X + 5);  // Unban
  ASSERT_EQ(2u, list.rows().size());
  clickRow(1, 20);
  EXPECT_TRUE(net.getServer()->isLocked());
  EXPECT_EQ("Unlock canvas", list.rows()[1].text);
  clickRow(1, 20);
  EXPECT_FALSE(net.getServer()->isLocked());

  // A player who painted and left stays listed; the row below it undoes
  // what it painted lately.
  {
    Guest di(&engine, net.getListenPort(), "Di");
    ASSERT_TRUE(testnet::pump({&engine}, [&] { return net.listPlayers().size() == 2 && di.client.getJoined(); }));
    di.drawing.markStrokeStart();
    di.drawing.addCoordinates(10, 10, 200, 10);
    ASSERT_TRUE(testnet::pump({&engine}, [&] { return net.getServer()->hasStrokes(list.rows()[1].id); }));
  }
  ASSERT_TRUE(testnet::pump({&engine}, [&] { return list.rows()[1].text == "Di (left)  127.0.0.1"; }));
  clickRow(1, 20);
  ASSERT_EQ(PlayerListOverlay::UNDO, list.rows()[2].kind);
  clickRow(2, PlayerListOverlay::UNDO_X[1] + 5);
  const std::deque<ChatMessage*>& shown = gui->getShownMessages();
  EXPECT_TRUE(std::any_of(shown.begin(), shown.end(),
                          [](const ChatMessage* m) { return m->getText() == "Undid 1 stroke of Di"; }));
  EXPECT_EQ("Lock canvas", list.rows()[1].text);
  testing::internal::GetCapturedStdout();

  // Typed into the chat line, Tab is not for the list.
  press(KEY_ENTER, 13);
  press(KEY_TAB, '\t');
  press(KEY_ENTER, 13);
  EXPECT_TRUE(list.isOpen());
  press(KEY_TAB, '\t');
  EXPECT_FALSE(list.isOpen());
  gui.reset();
}

// Lines stay 480 + 3 ticks per character and leave from the front only:
// a short line behind a long one waits for it.
TEST_F(PaintGUITest, ChatLinesStayByLengthAndLeaveInOrder) {
  KivSettings::addChatMessage("Ann", std::string(100, 'x'), 4);
  KivSettings::addChatMessage("Bob", "hi", 4);
  tick();  // taken from the queue and counted down once
  ASSERT_EQ(2u, gui->getShownMessages().size());
  EXPECT_EQ(779, gui->getShownMessages()[0]->getDisplayTime());
  EXPECT_EQ(485, gui->getShownMessages()[1]->getDisplayTime());
  for (int t = 1; t < 779; ++t) tick();
  ASSERT_EQ(2u, gui->getShownMessages().size());
  EXPECT_EQ(0, gui->getShownMessages()[1]->getDisplayTime());
  tick();
  EXPECT_TRUE(gui->getShownMessages().empty());

  // A flood keeps no more images than the screen shows, the newest ones.
  for (int i = 0; i < 400; ++i) KivSettings::addChatMessage("Eve", "line " + std::to_string(i), 4);
  tick();
  const std::size_t fit = ChatMessage::linesThatFit(768);
  EXPECT_GT(fit, 20u);
  ASSERT_EQ(fit, gui->getShownMessages().size());
  EXPECT_EQ("line 399", gui->getShownMessages().back()->getText());
}

TEST_F(PaintGUITest, MissingImagesAreNamed) {
  const std::string dir = uitest::scratchSettings();
  ASSERT_EQ(0, system(("mkdir " + dir + "graphics && cp -r " + DATA + "graphics/cursor " + dir + "graphics/").c_str()));
  KivSettings::setWorkingDir(dir);
  EXPECT_FALSE(make(nullptr, 1024, 768));
  EXPECT_EQ("Couldn't paint GUI from " + dir + "graphics/gui/paint_gui.bmp", gui->getErrMsg());
}

}  // namespace
