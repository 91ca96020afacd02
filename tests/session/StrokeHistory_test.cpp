// The host's stroke history against a model: the canvas after any mix of
// undo and redo of two painters' overlapping strokes equals the canvas
// painted afresh from the strokes still in effect. Then how strokes are
// told apart, the depth and the redo list, the memory cap, a painter who
// left, and rollback.

#include <map>
#include <random>
#include <vector>

#include "CanvasTestSupport.h"
#include "DEngine.h"
#include "EnginePump.h"
#include "StrokeHistory.h"
#include "WorldMap.h"

namespace {

using libkorvet::DTime;
typedef StrokeHistory::Painter Painter;

const Painter ANN = 1;
const Painter BOB = 2;

struct Line {
  long x1, y1, x2, y2;
};

struct Stroke {
  Painter painter;
  unsigned char brush;
  unsigned char color;
  std::vector<Line> lines;
  bool live;
};

// Palette entries 1 to 99 all different, so that a pixel tells which stroke
// painted it last.
void distinctPalette() {
  initAllegro();
  for (int i = 1; i < 100; ++i) {
    RGB entry = {static_cast<unsigned char>(i % 64), static_cast<unsigned char>(i / 64 + 1), 7, 0};
    set_color(i, &entry);
  }
}

struct Scene {
  Scene() {
    distinctPalette();
    map.create(1600, 1600, &engine);
    history.reset(new StrokeHistory(&map, &net));
    history->setDelimited(ANN, true);
    history->setDelimited(BOB, true);
  }

  // A stroke of a few joined lines inside a small square, so strokes overlap.
  void paintRandom(Painter painter) {
    Stroke s{painter, static_cast<unsigned char>(rng() % 4), static_cast<unsigned char>(++painted), {}, true};
    long x = 100 + static_cast<long>(rng() % 120), y = 100 + static_cast<long>(rng() % 120);
    for (int i = 0, n = 1 + static_cast<int>(rng() % 4); i < n; ++i) {
      long nx = 100 + static_cast<long>(rng() % 120), ny = 100 + static_cast<long>(rng() % 120);
      s.lines.push_back(Line{x, y, nx, ny});
      x = nx;
      y = ny;
    }
    paint(s);
  }

  void paint(const Stroke& s) {
    history->beginStroke(s.painter);
    {
      StrokeHistory::PaintScope scope(history.get(), s.painter);
      for (const Line& l : s.lines) map.applyLineDrawing(l.x1, l.y1, l.x2, l.y2, s.brush, s.color);
    }
    history->endStroke(s.painter);
    strokes.push_back(s);
    undone[s.painter].clear();
  }

  // Undo takes the painter's newest stroke in effect out; redo paints the
  // one undone last again, as the newest stroke.
  void setLive(Painter painter, bool live) {
    for (auto s = strokes.rbegin(); s != strokes.rend(); ++s)
      if (s->painter == painter && !live && s->live) {
        s->live = false;
        undone[painter].push_back(*s);
        strokes.erase(std::next(s).base());
        return;
      }
    if (!live || undone[painter].empty()) return;
    strokes.push_back(undone[painter].back());
    strokes.back().live = true;
    undone[painter].pop_back();
  }

  void undo(Painter painter) {
    ASSERT_EQ(history->undo(painter).strokes, 1u);
    setLive(painter, false);
  }

  // The canvas equals the strokes in effect painted afresh, in order.
  void expectModel(int step = 0) {
    SCOPED_TRACE(step);
    if (!model.isCreated()) model.create(1600, 1600, &modelEngine);
    model.drawRect(0, 0, 400, 400, 0);
    for (const Stroke& s : strokes)
      if (s.live)
        for (const Line& l : s.lines) model.applyLineDrawing(l.x1, l.y1, l.x2, l.y2, s.brush, s.color);
    unsigned int wrong = 0;
    unsigned char a[3], b[3];
    for (unsigned int y = 90; y < 240; ++y)
      for (unsigned int x = 90; x < 240; ++x) {
        map.readPixel(y * 1600 + x, a);
        model.readPixel(y * 1600 + x, b);
        if (a[0] != b[0] || a[1] != b[1] || a[2] != b[2]) ++wrong;
      }
    EXPECT_EQ(wrong, 0u);
  }

  testnet::ManualClock clock;
  libkorvet::DEngine net;
  TestSyncEngine engine, modelEngine;
  WorldMap map, model;
  std::unique_ptr<StrokeHistory> history;
  std::vector<Stroke> strokes;
  int painted = 0;
  std::map<Painter, std::vector<Stroke>> undone;
  std::mt19937 rng{20};
};

void advance(libkorvet::DEngine& engine, unsigned int ms) {
  DTime::advanceManualClock(ms);
  engine.update(-1);
}

}  // namespace

TEST(StrokeHistory, UndoAndRedoOfTwoPaintersOverlappingStrokesMatchTheModel) {
  Scene scene;
  for (int i = 0; i < 12; ++i) scene.paintRandom(i % 3 == 2 ? BOB : ANN);
  scene.expectModel(1);

  // Ann's last three go; Bob's strokes over and under them stay as painted.
  for (int i = 0; i < 3; ++i) scene.undo(ANN);
  scene.expectModel(2);
  EXPECT_EQ(scene.history->redoDepth(ANN), 3u);

  // Bob paints over the place where Ann's strokes were, then Ann redoes one:
  // it covers his, and undoing his afterwards leaves hers.
  scene.paintRandom(BOB);
  ASSERT_EQ(scene.history->redo(ANN).strokes, 1u);
  scene.setLive(ANN, true);
  scene.expectModel(3);

  scene.undo(BOB);
  scene.undo(ANN);
  scene.undo(BOB);
  scene.expectModel(4);

  // Any mix of the two painters' strokes, undos and redos.
  for (int i = 0; i < 40; ++i) {
    const Painter who = scene.rng() % 2 ? ANN : BOB;
    switch (scene.rng() % 3) {
      case 0:
        scene.paintRandom(who);
        break;
      case 1:
        if (scene.history->undo(who).strokes == 1) scene.setLive(who, false);
        break;
      default:
        if (scene.history->redo(who).strokes == 1) scene.setLive(who, true);
    }
    scene.expectModel(100 + i);
  }

  // Undo reports what it changed, and only that.
  StrokeHistory::Result undone = scene.history->undo(ANN);
  scene.setLive(ANN, false);
  scene.expectModel(5);
  EXPECT_FALSE(undone.pixels.empty());
  EXPECT_TRUE(std::is_sorted(undone.pixels.begin(), undone.pixels.end()));
}

TEST(StrokeHistory, AStrokeRepaintedAfterAnotherPainterGivesBackTheirPaint) {
  Scene scene;
  const unsigned int pixel = 50 * 1600 + 50;
  unsigned char rgb[3], bob[3];
  scene.history->beginStroke(ANN);
  {
    StrokeHistory::PaintScope ann(scene.history.get(), ANN);
    scene.map.applyLineDrawing(50, 50, 50, 50, 0, 1);
    {
      StrokeHistory::PaintScope painting(scene.history.get(), BOB);
      scene.map.applyLineDrawing(50, 50, 50, 50, 0, 2);
    }
    scene.map.readPixel(pixel, bob);
    scene.map.applyLineDrawing(50, 50, 52, 50, 0, 1);
  }
  scene.history->endStroke(ANN);
  scene.history->undo(ANN);
  scene.map.readPixel(pixel, rgb);
  EXPECT_EQ(std::vector<unsigned char>(rgb, rgb + 3), std::vector<unsigned char>(bob, bob + 3));
  scene.map.readPixel(pixel + 2, rgb);
  EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0);
}

TEST(StrokeHistory, StrokesOfAPainterWhoDoesNotSayWhereTheyEndAndTheDepth) {
  Scene scene;
  StrokeHistory& h = *scene.history;
  // Lines that follow on from each other are one stroke; a line elsewhere,
  // or after a pause, starts the next.
  {
    StrokeHistory::PaintScope carol(&h, 3);
    scene.map.applyLineDrawing(10, 10, 20, 10, 1, 3);
    scene.map.applyLineDrawing(20, 10, 30, 10, 1, 3);
    scene.map.applyLineDrawing(30, 10, 30, 10, 1, 3);
    EXPECT_EQ(h.undoDepth(3), 1u);
    scene.map.applyLineDrawing(40, 40, 50, 40, 1, 3);
    EXPECT_EQ(h.undoDepth(3), 2u);
    advance(scene.net, StrokeHistory::STROKE_GAP_MS + 1);
    scene.map.applyLineDrawing(50, 40, 60, 40, 1, 3);
    EXPECT_EQ(h.undoDepth(3), 3u);
  }
  // Outside any scope the host paints.
  scene.map.applyLineDrawing(70, 70, 80, 70, 0, 4);
  EXPECT_EQ(h.undoDepth(StrokeHistory::HOST), 1u);

  // At least 50 strokes of one painter can be undone; a new stroke empties
  // the redo list.
  for (int i = 0; i < 60; ++i) scene.paintRandom(ANN);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(h.undo(ANN).strokes, 1u) << i;
  EXPECT_EQ(h.undo(ANN).strokes, 0u);
  EXPECT_EQ(h.redo(ANN).strokes, 1u);
  EXPECT_EQ(h.redoDepth(ANN), 59u);
  scene.paintRandom(ANN);
  EXPECT_EQ(h.redoDepth(ANN), 0u);
  EXPECT_EQ(h.redo(ANN).strokes, 0u);
  EXPECT_EQ(h.undo(BOB).strokes, 0u);
}

TEST(StrokeHistory, TheCapForgetsTheOldestStrokesOfWhoeverHoldsMostAndSaysSoOnce) {
  distinctPalette();
  testnet::ManualClock clock;
  libkorvet::DEngine net;
  TestSyncEngine engine;
  WorldMap map;
  map.create(1600, 1600, &engine);
  const std::size_t cap = 4u << 20;
  StrokeHistory h(&map, &net, cap);
  h.setDelimited(ANN, true);
  h.setDelimited(BOB, true);
  // A brush-3 line across the canvas paints about 3400 pixels.
  auto stroke = [&](Painter painter, int i) {
    h.beginStroke(painter);
    StrokeHistory::PaintScope scope(&h, painter);
    const long y = 3 + 7 * (i % 200);
    map.applyLineDrawing(0, y, 1599, y, 3, static_cast<unsigned char>(painter == ANN ? 10 + i % 47 : 5));
    h.endStroke(painter);
  };
  // Bob paints a few strokes, then Ann floods the history.
  for (int i = 0; i < 10; ++i) stroke(BOB, i);
  std::vector<Painter> told;
  for (int i = 10; i < 400 && told.empty(); ++i) {
    stroke(ANN, i);
    told = h.takeForgotten();
  }
  ASSERT_EQ(told, std::vector<Painter>{ANN});
  for (int i = 0; i < 300; ++i) stroke(ANN, i);
  EXPECT_LE(h.memoryUsed(), cap);
  // Bob holds no more than the kept strokes, so only Ann's went, and she is
  // told once however many more go.
  EXPECT_EQ(h.undoDepth(BOB), 10u);
  EXPECT_GE(h.undoDepth(ANN), StrokeHistory::KEPT_STROKES);
  EXPECT_TRUE(h.takeForgotten().empty());
  // Her newest stroke still undoes exactly.
  EXPECT_GT(h.undo(ANN).pixels.size(), 0u);
}

TEST(StrokeHistory, RollbackOfRecentMinutesAndOfAPainterWhoLeft) {
  Scene scene;
  StrokeHistory& h = *scene.history;
  for (int i = 0; i < 4; ++i) scene.paintRandom(BOB);
  advance(scene.net, 10 * 60000);
  for (int i = 0; i < 5; ++i) {
    scene.paintRandom(i == 2 ? ANN : BOB);
    advance(scene.net, 30000);
  }
  // Bob's strokes of the last five minutes go (the one he undid included:
  // it cannot be redone), his older ones and Ann's stay.
  h.undo(BOB);
  StrokeHistory::Result r = h.rollback(BOB, 5);
  EXPECT_EQ(r.strokes, 3u);
  for (Stroke& s : scene.strokes)
    if (s.painter == BOB && &s >= &scene.strokes[4]) s.live = false;
  scene.expectModel();
  EXPECT_EQ(h.redo(BOB).strokes, 0u);
  EXPECT_EQ(h.undoDepth(BOB), 4u);

  // Gone, Bob stays for a quarter of an hour, then is forgotten.
  h.painterLeft(BOB);
  advance(scene.net, StrokeHistory::LEFT_KEEP_MS - 60000);
  h.expire();
  ASSERT_TRUE(h.knows(BOB));
  EXPECT_EQ(h.rollback(BOB, 10).strokes, 0u);
  EXPECT_EQ(h.rollback(BOB, 30).strokes, 4u);
  for (Stroke& s : scene.strokes)
    if (s.painter == BOB) s.live = false;
  scene.expectModel();
  advance(scene.net, 120000);
  h.expire();
  EXPECT_FALSE(h.knows(BOB));
  EXPECT_TRUE(h.knows(ANN));
}
