#ifndef UI_VIEWTRANSFORM_H
#define UI_VIEWTRANSFORM_H

// ViewTransform: how the canvas lies on the screen. The view is the screen
// area that shows the canvas (the paint panel covers the rest); its top-left
// pixel shows the canvas point (originX, originY), and the scale is num/den
// screen pixels per canvas pixel, one of the steps 4:1, 2:1, 1:1, 1:2, 1:4,
// 1:8 or the whole canvas in the view. Screen pixel p shows canvas point
// origin + floor(p * den / num): every click and every blit goes through it,
// so a stroke drawn at any scale is the canvas points under the pointer.
// A value type; the paint panel keeps the one the screen shows.

#include <string>

class ViewTransform {
 public:
  enum Step { ZOOM_4_1 = 0, ZOOM_2_1, ZOOM_1_1, ZOOM_1_2, ZOOM_1_4, ZOOM_1_8, WHOLE_CANVAS, NUM_STEPS };

  ViewTransform() = default;

  // The view's size in screen pixels and the canvas's in canvas pixels.
  void setViewSize(int width, int height);
  void setCanvasSize(long width, long height);
  int getViewWidth() const { return viewWidth; }
  int getViewHeight() const { return viewHeight; }

  Step getStep() const { return step; }
  // Screen pixels per canvas pixel, as num / den.
  long num() const;
  long den() const;
  // "4:1" ... "1:8", or "whole" at the whole-canvas step.
  std::string label() const;

  long toCanvasX(long screenX) const;
  long toCanvasY(long screenY) const;
  long toScreenX(long canvasX) const;
  long toScreenY(long canvasY) const;
  // Canvas pixels a move of this many screen pixels covers (at least 1 for a
  // non-zero move): scrolling moves the same share of the screen at any scale.
  long canvasDistance(long screenPixels) const;

  // One step nearer (wheel up, PageUp) or farther (wheel down, PageDown),
  // or straight to a step, keeping the canvas point under the screen point
  // (px, py) there where the canvas's edges allow it. Zooming out stops at
  // the whole canvas: steps smaller than it are skipped. False when the
  // view did not change.
  bool zoomIn(int px, int py);
  bool zoomOut(int px, int py);
  bool zoomTo(Step to, int px, int py);
  // Back to 1:1 with the origin as it is (a new session).
  void resetScale() { step = ZOOM_1_1; }

  // Keeps the view on the canvas. Where the view is wider (or taller) than
  // the canvas: at 1:1 and nearer the canvas's last column meets the view's
  // right edge (a negative origin), farther out the canvas is centred.
  void clamp();

  long originX = 0;
  long originY = 0;

 private:
  // The scale of a step as num / den.
  void scaleOf(Step s, long& n, long& d) const;
  // Whether step s shows the canvas at least as large as the whole-canvas step.
  bool nearerThanWhole(Step s) const;

  Step step = ZOOM_1_1;
  int viewWidth = 1;
  int viewHeight = 1;
  long canvasWidth = 1;
  long canvasHeight = 1;
};

#endif  // UI_VIEWTRANSFORM_H
