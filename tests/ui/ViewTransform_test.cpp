#include "ViewTransform.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

ViewTransform viewOf(long canvas) {
  ViewTransform v;
  v.setViewSize(1024, 648);  // the screen above the panel
  v.setCanvasSize(canvas, canvas);
  return v;
}

std::string outward(ViewTransform v) {
  std::string steps = v.label();
  while (v.zoomOut(0, 0)) steps += " " + v.label();
  return steps;
}

TEST(ViewTransform, StepsStopAtTheWholeCanvasBothWays) {
  ViewTransform big = viewOf(10000);
  EXPECT_EQ("1:1 1:2 1:4 1:8 whole", outward(big));
  // A 1600 canvas is whole at 648 / 1600, nearer than 1:4.
  EXPECT_EQ("1:1 1:2 whole", outward(viewOf(1600)));
  ViewTransform small = viewOf(1600);
  EXPECT_TRUE(small.zoomTo(ViewTransform::WHOLE_CANVAS, 0, 0));
  EXPECT_TRUE(small.num() == 648 && small.den() == 1600);
  std::string inward = small.label();
  while (small.zoomIn(0, 0)) inward += " " + small.label();
  EXPECT_EQ("whole 1:2 1:1 2:1 4:1", inward);

  // The whole canvas is centred; so is a 1:8 view wider than the canvas.
  EXPECT_EQ(0, small.originY);
  small.zoomTo(ViewTransform::WHOLE_CANVAS, 0, 0);
  EXPECT_EQ(-(1024 * 1600 / 648 + 1 - 1600) / 2, small.originX);
  EXPECT_EQ(0, small.originY);
  // At 1:1 a view wider than the canvas ends at the canvas's last column.
  ViewTransform narrow;
  narrow.setViewSize(1700, 1180);
  narrow.setCanvasSize(1600, 1600);
  narrow.originX = 50;
  narrow.clamp();
  EXPECT_EQ(-100, narrow.originX);
}

TEST(ViewTransform, ThePointUnderThePointerStaysWhileZooming) {
  std::mt19937 random(7);
  ViewTransform v = viewOf(10000);
  v.originX = 4000;
  v.originY = 4000;
  for (int i = 0; i < 200; ++i) {
    const int px = static_cast<int>(random() % 1024), py = static_cast<int>(random() % 648);
    const long cx = v.toCanvasX(px), cy = v.toCanvasY(py);
    const bool in = random() % 2 == 0;
    const std::string from = v.label();
    if (!(in ? v.zoomIn(px, py) : v.zoomOut(px, py))) continue;
    // Unless the canvas's edge holds the view back.
    const long span = v.toCanvasX(1024) - v.originX;
    if (v.getStep() == ViewTransform::WHOLE_CANVAS || v.originX == 0 || v.originY == 0 ||
        v.originX + span >= 10000 || v.toCanvasY(648) >= 10000)
      continue;
    EXPECT_TRUE(v.toCanvasX(px) == cx && v.toCanvasY(py) == cy) << from << " to " << v.label() << " at " << px;
  }
}

TEST(ViewTransform, ScrollingMovesTheSameShareOfTheScreen) {
  ViewTransform v = viewOf(10000);
  const long expected[] = {5, 10, 20, 40, 80, 160};
  for (int s = ViewTransform::ZOOM_4_1; s < ViewTransform::WHOLE_CANVAS; ++s) {
    v.zoomTo(static_cast<ViewTransform::Step>(s), 0, 0);
    EXPECT_EQ(expected[s], v.canvasDistance(20)) << v.label();
    EXPECT_EQ(-expected[s], v.canvasDistance(-20));
  }
  v.zoomTo(ViewTransform::ZOOM_4_1, 0, 0);
  EXPECT_EQ(1, v.canvasDistance(1));  // never stuck
  EXPECT_EQ(0, v.canvasDistance(0));
}

}  // namespace
