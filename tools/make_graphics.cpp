// Draws every image Brelvin loads at run time: the pointer and scroll arrows
// (graphics/cursor), the paint panel and the menu tiles (graphics/gui) and the
// exit picture (graphics/screens). Sprites use pure magenta as their mask.
//
// Usage: make_graphics DATA_DIR ART_FONT_DIR [PREVIEW_DIR]
//        make_graphics --icons ICON_DIR
//   DATA_DIR      the run-time folder; hoard.dat is read from it for the
//                 preview, the images are written below it
//   ART_FONT_DIR  glyph grids from make_fonts.py (art_*.pcx): big fonts that
//                 are supersampled here to draw smooth titles and labels
//   PREVIEW_DIR   optional: also writes mock screens (menus, a session) built
//                 the way the program lays them out, to judge the result
//   --icons       only the desktop icons, ICON_DIR/<n>x<n>/apps/brelvin.png in
//                 the layout of an icon theme; the build makes them this way
//
// Runs without a display (SYSTEM_NONE); everything is a memory bitmap.

#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Rgb {
  int r, g, b;
};

int col(Rgb c) { return makecol(c.r, c.g, c.b); }
int maskColor() { return makecol(255, 0, 255); }

Rgb mix(Rgb a, Rgb b, double t) {
  t = std::clamp(t, 0.0, 1.0);
  return {int(std::lround(a.r + (b.r - a.r) * t)), int(std::lround(a.g + (b.g - a.g) * t)),
          int(std::lround(a.b + (b.b - a.b) * t))};
}

Rgb pixelRgb(BITMAP* bmp, int x, int y) {
  int c = getpixel(bmp, x, y);
  return {getr(c), getg(c), getb(c)};
}

// The program's 100-colour palette (6-bit components, index 1 to 100), so the
// images and previews use exactly the colours the program draws with.
Rgb paletteRgb(int index) {
  if (index <= 0 || index > 100) return {0, 0, 0};
  static const int shades[5] = {15, 27, 39, 51, 63};
  int group = (index - 1) / 5;
  int v = shades[(index - 1) % 5];
  int r = 0, g = 0, b = 0;
  switch (group) {
    case 0: r = v; g = v; b = v; break;
    case 1: r = v; break;
    case 2: g = v; break;
    case 3: b = v; break;
    case 4: r = v; g = v; break;
    case 5: r = v; b = v; break;
    case 6: g = v; b = v; break;
    case 7: r = v; g = v; b = v / 2; break;
    case 8: r = v; g = v / 2; b = v / 2; break;
    case 9: r = v / 2; g = v; b = v / 2; break;
    case 10: r = v / 2; g = v / 2; b = v; break;
    case 11: r = v; g = v; b = v / 2 + 12; break;
    case 12: r = v; g = v / 2 + 12; b = v; break;
    case 13: r = v / 2 + 12; g = v; b = v; break;
    case 14: r = v; g = v / 2; break;
    case 15: r = v; b = v / 2; break;
    case 16: r = int(v / 1.4); g = v; b = v / 2; break;
    case 17: r = v / 2; b = v; break;
    case 18: r = v; g = int(v / 1.4); b = v / 5; break;
    default: g = v / 2; b = v; break;
  }
  if (index == 30) g = 1;
  return {_rgb_scale_6[r], _rgb_scale_6[g], _rgb_scale_6[b]};
}
int pal(int index) { return col(paletteRgb(index)); }

// ---------------------------------------------------------------- theme
// A dark slate interface with cyan accents, matching the program's cyan
// titles (palette 35) and text-field text.
const Rgb kInk = {8, 10, 14};
const Rgb kPanelTop = {50, 57, 70};
const Rgb kPanelBottom = {24, 28, 36};
const Rgb kBevelLight = {96, 108, 126};
const Rgb kBevelDark = {6, 8, 11};
const Rgb kWell = {13, 16, 21};
const Rgb kAccent = {0, 190, 200};
const Rgb kAccentDark = {0, 92, 104};
const Rgb kLabel = {140, 152, 170};

void vgradient(BITMAP* bmp, int x1, int y1, int x2, int y2, Rgb top, Rgb bottom) {
  for (int y = y1; y <= y2; ++y) {
    double t = (y2 == y1) ? 0.0 : double(y - y1) / (y2 - y1);
    hline(bmp, x1, y, x2, col(mix(top, bottom, t)));
  }
}

// A frame whose top-left and bottom-right edges differ: raised when light is
// top-left, sunken when it is bottom-right.
void bevel(BITMAP* bmp, int x1, int y1, int x2, int y2, Rgb topLeft, Rgb bottomRight) {
  hline(bmp, x1, y1, x2, col(topLeft));
  vline(bmp, x1, y1, y2, col(topLeft));
  hline(bmp, x1 + 1, y2, x2, col(bottomRight));
  vline(bmp, x2, y1 + 1, y2, col(bottomRight));
}

// A recessed area of the panel: dark fill, shadow above, light rim below.
void well(BITMAP* bmp, int x1, int y1, int x2, int y2, Rgb fill) {
  rectfill(bmp, x1, y1, x2, y2, col(fill));
  bevel(bmp, x1, y1, x2, y2, kBevelDark, kBevelLight);
  bevel(bmp, x1 + 1, y1 + 1, x2 - 1, y2 - 1, mix(kBevelDark, fill, 0.5), mix(fill, kBevelLight, 0.3));
}

// Pixel-exact rounded rectangle test: the corners are cut where less than
// half of a pixel lies inside the circle, so sprite edges stay crisp.
bool insideRounded(int x, int y, int w, int h, int r) {
  double cx = x + 0.5, cy = y + 0.5;
  double ex = std::clamp(cx, double(r), double(w - r));
  double ey = std::clamp(cy, double(r), double(h - r));
  double dx = cx - ex, dy = cy - ey;
  return dx * dx + dy * dy <= double(r) * r;
}

// ---------------------------------------------------------------- smooth text
// Coverage of a text drawn with a 4x font, reduced 4x4 to one value a pixel.
struct Coverage {
  int w = 0, h = 0;
  std::vector<float> a;
  float at(int x, int y) const {
    return (x < 0 || y < 0 || x >= w || y >= h) ? 0.0f : a[size_t(y) * w + x];
  }
};

Coverage textCoverage(FONT* big, const std::string& text) {
  int w4 = text_length(big, text.c_str());
  int h4 = text_height(big);
  Coverage c;
  c.w = (w4 + 3) / 4;
  c.h = (h4 + 3) / 4;
  BITMAP* m = create_bitmap_ex(8, c.w * 4, c.h * 4);
  clear_to_color(m, 0);
  textout_ex(m, big, text.c_str(), 0, 0, 1, -1);
  c.a.assign(size_t(c.w) * c.h, 0.0f);
  for (int y = 0; y < c.h; ++y)
    for (int x = 0; x < c.w; ++x) {
      int n = 0;
      for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) n += m->line[y * 4 + j][x * 4 + i] ? 1 : 0;
      c.a[size_t(y) * c.w + x] = n / 16.0f;
    }
  destroy_bitmap(m);
  return c;
}

// Soft halo of a coverage: grown by `radius` and box-blurred twice.
Coverage blurred(const Coverage& src, int radius) {
  Coverage c;
  c.w = src.w + 2 * radius;
  c.h = src.h + 2 * radius;
  c.a.assign(size_t(c.w) * c.h, 0.0f);
  for (int y = 0; y < src.h; ++y)
    for (int x = 0; x < src.w; ++x) c.a[size_t(y + radius) * c.w + x + radius] = src.at(x, y);
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<float> tmp(c.a.size(), 0.0f);
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        float s = 0;
        for (int k = -radius; k <= radius; ++k) s += c.at(x + k, y);
        tmp[size_t(y) * c.w + x] = s / (2 * radius + 1);
      }
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        float s = 0;
        for (int k = -radius; k <= radius; ++k) {
          int yy = y + k;
          if (yy >= 0 && yy < c.h) s += tmp[size_t(yy) * c.w + x];
        }
        c.a[size_t(y) * c.w + x] = s / (2 * radius + 1);
      }
  }
  return c;
}

void paintCoverage(BITMAP* dst, const Coverage& c, int x0, int y0, Rgb colour, float strength = 1.0f) {
  for (int y = 0; y < c.h; ++y)
    for (int x = 0; x < c.w; ++x) {
      float a = std::min(1.0f, c.at(x, y) * strength);
      int dx = x0 + x, dy = y0 + y;
      if (a <= 0.0f || dx < 0 || dy < 0 || dx >= dst->w || dy >= dst->h) continue;
      putpixel(dst, dx, dy, col(mix(pixelRgb(dst, dx, dy), colour, a)));
    }
}

enum Align { LEFT, CENTRE };

// Smooth text at (x, y) (top edge); returns its width in pixels.
int smoothText(BITMAP* dst, FONT* big, const std::string& text, int x, int y, Rgb colour, Align align,
               Rgb shadow = {-1, 0, 0}) {
  Coverage c = textCoverage(big, text);
  int left = (align == CENTRE) ? x - c.w / 2 : x;
  if (shadow.r >= 0) paintCoverage(dst, c, left + 1, y + 1, shadow, 0.8f);
  paintCoverage(dst, c, left, y, colour);
  return c.w;
}

// ---------------------------------------------------------------- pixel art
// Sprites drawn from character maps: '.' is transparent, the rest is looked
// up in a small legend.
struct Legend {
  char key;
  Rgb colour;
};

BITMAP* fromArt(const std::vector<std::string>& art, const std::vector<Legend>& legend) {
  int h = int(art.size()), w = 0;
  for (const std::string& row : art) w = std::max(w, int(row.size()));
  BITMAP* bmp = create_bitmap(w, h);
  clear_to_color(bmp, maskColor());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < int(art[y].size()); ++x)
      for (const Legend& l : legend)
        if (l.key == art[y][x]) putpixel(bmp, x, y, col(l.colour));
  return bmp;
}

// ---------------------------------------------------------------- images
BITMAP* makePointer() {
  // Hot spot at the top-left pixel, as the program sets it.
  static const std::vector<std::string> art = {
      "X.............", "XX............", "XoX...........", "XooX..........", "XoooX.........",
      "XooooX........", "XoooooX.......", "XooooooX......", "XoooooooX.....", "XooooooooX....",
      "XoooooooooX...", "XooooooooooX..", "XoooooooooooX.", "XooooooXXXXXX.", "XoooXooX......",
      "XooXXooX......", "XoX..XooX.....", "XX...XooX.....", "X.....XooX....", "......XooX....",
      ".......XX.....",
  };
  return fromArt(art, {{'X', {0, 0, 0}}, {'o', {255, 255, 255}}});
}

// A 20x20 rounded key with a triangle pointing `dir` (0 up, 1 down, 2 left,
// 3 right). The active form is lit cyan, shown while scrolling that way.
BITMAP* makeArrow(int dir, bool active) {
  const int S = 20;
  BITMAP* bmp = create_bitmap(S, S);
  clear_to_color(bmp, maskColor());
  Rgb top = active ? Rgb{120, 250, 250} : Rgb{64, 74, 90};
  Rgb bottom = active ? Rgb{0, 170, 180} : Rgb{30, 35, 45};
  Rgb edge = active ? Rgb{0, 70, 80} : Rgb{4, 5, 8};
  Rgb glyph = active ? Rgb{6, 24, 30} : Rgb{0, 206, 206};
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      if (!insideRounded(x, y, S, S, 4)) continue;
      bool rim = !insideRounded(x - 1, y, S - 2, S, 4) || !insideRounded(x, y - 1, S, S - 2, 4) ||
                 x == 0 || y == 0 || x == S - 1 || y == S - 1;
      Rgb c = mix(top, bottom, double(y) / (S - 1));
      if (rim) c = edge;
      else if (y == 1 || x == 1) c = mix(c, {255, 255, 255}, active ? 0.35 : 0.18);
      putpixel(bmp, x, y, col(c));
    }
  // Triangle, 10 wide at its base and 5 deep, centred on the key.
  for (int i = 0; i < 6; ++i) {
    int half = i;  // rows of width 1, 3, 5, ... 11
    int a = 10 - half, b = 9 + half;
    int depth = 7 + i;
    switch (dir) {
      case 0: hline(bmp, a, depth, b, col(glyph)); break;
      case 1: hline(bmp, a, S - 1 - depth, b, col(glyph)); break;
      case 2: vline(bmp, depth, a, b, col(glyph)); break;
      default: vline(bmp, S - 1 - depth, a, b, col(glyph)); break;
    }
  }
  return bmp;
}

const int kTileH = 38;

// A whole button (three 32-pixel tiles); the tiles are cut from it so the
// rounded ends and the repeated middle join seamlessly.
BITMAP* makeButton(bool down) {
  const int W = 96, H = kTileH, R = 7;
  BITMAP* bmp = create_bitmap(W, H);
  clear_to_color(bmp, maskColor());
  Rgb top = down ? Rgb{20, 118, 128} : Rgb{170, 244, 244};
  Rgb bottom = down ? Rgb{86, 206, 212} : Rgb{34, 164, 176};
  Rgb outline = {2, 30, 36};
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      if (!insideRounded(x, y, W, H, R)) continue;
      bool rim = !insideRounded(x - 1, y - 1, W - 2, H - 2, R - 1);
      Rgb c = mix(top, bottom, double(y - 1) / (H - 3));
      if (rim) {
        c = outline;
      } else if (!down && (y == 1 || y == 2)) {
        c = mix(c, {255, 255, 255}, y == 1 ? 0.55 : 0.25);  // gloss along the top
      } else if (!down && y == H - 2) {
        c = mix(c, {0, 60, 70}, 0.45);
      } else if (down && (y == 1 || y == 2)) {
        c = mix(c, {0, 30, 36}, y == 1 ? 0.6 : 0.3);  // pressed in: shadow on top
      }
      putpixel(bmp, x, y, col(c));
    }
  return bmp;
}

// A whole text field (three tiles): square corners, because the program
// draws the last centre tile under the right piece of narrow fields.
BITMAP* makeTextField() {
  const int W = 96, H = kTileH;
  BITMAP* bmp = create_bitmap(W, H);
  vgradient(bmp, 0, 0, W - 1, H - 1, {10, 13, 18}, {20, 25, 33});
  rect(bmp, 0, 0, W - 1, H - 1, col(kAccentDark));
  hline(bmp, 1, 1, W - 2, col({2, 3, 5}));
  hline(bmp, 1, 2, W - 2, col({6, 8, 11}));
  vline(bmp, 1, 1, H - 2, col({4, 5, 8}));
  hline(bmp, 1, H - 2, W - 2, col({34, 44, 56}));
  vline(bmp, W - 2, 2, H - 2, col({28, 36, 46}));
  return bmp;
}

BITMAP* tile(BITMAP* whole, int index) {
  BITMAP* t = create_bitmap(32, whole->h);
  blit(whole, t, index * 32, 0, 0, 0, 32, whole->h);
  return t;
}

BITMAP* makeIBeam() {
  // Drawn centred on the caret position, over the field's full height.
  std::vector<std::string> art(kTileH, std::string(7, '.'));
  art[8] = ".XX.XX.";
  for (int y = 9; y <= 28; ++y) art[y] = "...X...";
  art[29] = ".XX.XX.";
  return fromArt(art, {{'X', {0, 255, 255}}});
}

// Panel size; every control position is measured from its right and bottom
// edges by the program, the left part carries the name and the key help.
const int kPanelW = 640;
const int kPanelH = 120;

struct ArtFonts {
  FONT* title = nullptr;  // 96 px bold
  FONT* text = nullptr;   // 30 px
  FONT* label = nullptr;  // 26 px bold
  FONT* small = nullptr;  // 11 px bold
};

BITMAP* makePanel(const ArtFonts& art) {
  const int W = kPanelW, H = kPanelH;
  BITMAP* bmp = create_bitmap(W, H);
  clear_to_color(bmp, maskColor());
  const int R = 8;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      // Rounded top corners only; the bottom sits on the screen edge.
      if (y < R && !insideRounded(x, y, W, 2 * R + 2, R)) continue;
      putpixel(bmp, x, y, col(mix(kPanelTop, kPanelBottom, double(y) / (H - 1))));
    }
  // Cyan rim along the top, a light bevel under it.
  for (int x = 0; x < W; ++x)
    for (int y = 0; y < 3; ++y) {
      if (getpixel(bmp, x, y) == maskColor()) continue;
      bool edge = (y == 0) || getpixel(bmp, x, y - 1) == maskColor() || x == 0 || x == W - 1;
      if (edge) putpixel(bmp, x, y, col(kAccent));
      else if (y <= 2) putpixel(bmp, x, y, col(mix(pixelRgb(bmp, x, y), kBevelLight, 0.6)));
    }
  for (int y = 0; y < H; ++y) {
    if (getpixel(bmp, 0, y) != maskColor()) putpixel(bmp, 0, y, col(kAccentDark));
    if (getpixel(bmp, W - 1, y) != maskColor()) putpixel(bmp, W - 1, y, col(kAccentDark));
  }
  for (int y = R; y < H; ++y) {
    if (y > 2) putpixel(bmp, 1, y, col(mix(kPanelTop, kBevelLight, 0.3)));
  }

  // Palette: 20 x 5 swatches from (W-330, H-90) at a 16-pixel pitch, with a
  // frame around the selected one from (W-332, H-92).
  well(bmp, W - 335, H - 97, W - 5, H - 4, kWell);
  // Brush buttons: icons from (W-346-k, H-80+19k), outlines 3 pixels around,
  // frames 2 pixels further out. A light well so the black icons show.
  well(bmp, W - 359, H - 97, W - 337, H - 4, {188, 194, 204});
  // Scroll keys around (W-415, H-83); under them the position read-out,
  // which the program centres on x = W-403, black on white (palette 0 on 5).
  const int X = W - 415;
  well(bmp, W - 444, H - 97, W - 362, H - 19, kWell);
  rectfill(bmp, W - 444, H - 16, W - 362, H - 2, col({255, 255, 255}));
  bevel(bmp, W - 444, H - 16, W - 362, H - 2, kBevelDark, {150, 160, 175});

  // Captions over the groups.
  const Rgb c = kLabel;
  smoothText(bmp, art.small, "SCROLL", X + 10, 7, c, CENTRE);
  smoothText(bmp, art.small, "BRUSH & COLOUR", W - 359, 7, c, LEFT);

  // Left: the name, and the keys that have no button.
  const int lx = 16;
  smoothText(bmp, art.label, "Brelvin", lx, 8, {0, 230, 235}, LEFT, {0, 0, 0});
  static const char* keys[][2] = {
      {"ENTER", "chat"},       {"ESC", "leave session"}, {"- =", "brush size"},
      {", .", "colour"},       {"ARROWS", "scroll"},     {"CTRL+S", "save picture"},
  };
  int y = 38;
  for (const auto& k : keys) {
    smoothText(bmp, art.small, k[0], lx, y, {0, 190, 200}, LEFT);
    smoothText(bmp, art.small, k[1], lx + 62, y, {176, 186, 200}, LEFT);
    y += 13;
  }
  vline(bmp, W - 458, 12, H - 8, col(kBevelDark));
  vline(bmp, W - 457, 12, H - 8, col(mix(kPanelTop, kBevelLight, 0.5)));
  return bmp;
}

// The picture shown while the program closes, stretched over the screen.
Rgb exitBackdrop(int x, int y, int W, int H) {
  // Night blue with a soft light behind the title.
  double dx = (x - W / 2.0) / W, dy = (y - H * 0.42) / H;
  return mix({34, 46, 70}, {8, 10, 18}, std::sqrt(dx * dx * 1.2 + dy * dy * 1.6) * 1.7);
}

BITMAP* makeExitScreen(const ArtFonts& art) {
  const int W = 1024, H = 768;
  BITMAP* bmp = create_bitmap(W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) putpixel(bmp, x, y, col(exitBackdrop(x, y, W, H)));

  // A twisting ribbon of paint, one stroke per colour group of the palette in
  // its brightest shade (magenta softened: pure magenta would turn
  // see-through where the picture is drawn as a sprite). Drawn at twice the
  // size and reduced, so its edges are smooth.
  BITMAP* layer = create_bitmap(2 * W, 2 * H);
  clear_to_color(layer, maskColor());
  const int groups = 20;
  for (int g = 0; g < groups; ++g) {
    Rgb c = paletteRgb(5 + 5 * g);
    if (g == 5) c = {214, 60, 214};
    for (int x = -80; x < 2 * W + 80; x += 2) {
      double t = x / (2.0 * W);
      double spread = 9.0 * std::cos(t * 3.3 + 0.5);
      double yc = H * 0.68 + std::sin(t * 4.6 + 0.3) * 52 + (g - (groups - 1) / 2.0) * spread;
      double radius = 3.4 + 0.8 * std::sin(t * 7.0 + g * 0.5);
      circlefill(layer, x, int(std::lround(2 * yc)), int(std::lround(2 * radius)), col(c));
    }
  }
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      int n = 0, r = 0, gr = 0, b = 0;
      for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) {
          int p = getpixel(layer, 2 * x + i, 2 * y + j);
          if (p == maskColor()) continue;
          ++n;
          r += getr(p);
          gr += getg(p);
          b += getb(p);
        }
      if (n == 0) continue;
      // Fade the ribbon into the backdrop towards the picture's sides.
      double fade = std::min(1.0, std::min(x, W - 1 - x) / 180.0);
      Rgb paint = {r / n, gr / n, b / n};
      putpixel(bmp, x, y, col(mix(pixelRgb(bmp, x, y), paint, fade * n / 4.0)));
    }
  destroy_bitmap(layer);

  Coverage title = textCoverage(art.title, "Brelvin");
  int tx = W / 2 - title.w / 2, ty = 150;
  Coverage glow = blurred(title, 10);
  paintCoverage(bmp, glow, tx - 10, ty - 10, {0, 200, 220}, 0.9f);
  paintCoverage(bmp, title, tx + 3, ty + 4, {0, 0, 0}, 0.7f);
  paintCoverage(bmp, title, tx, ty, {240, 255, 255});
  smoothText(bmp, art.text, "Thanks for painting together.", W / 2, 300, {214, 226, 240}, CENTRE,
             {0, 0, 0});
  smoothText(bmp, art.text, "Goodbye, and see you on the next canvas!", W / 2, 344, {0, 214, 222},
             CENTRE, {0, 0, 0});
  return bmp;
}

// ---------------------------------------------------------------- output
bool saveBmp(const std::string& path, BITMAP* bmp) {
  if (save_bitmap(path.c_str(), bmp, nullptr) != 0) {
    std::printf("Couldn't write %s\n", path.c_str());
    return false;
  }
  std::printf("Wrote %s (%dx%d)\n", path.c_str(), bmp->w, bmp->h);
  return true;
}

// ---------------------------------------------------------------- previews
// Mock screens laid out the way the program lays them out, to look at.
struct Tiles {
  BITMAP *upL, *upC, *upR, *downL, *downC, *downR, *boxL, *boxC, *boxR, *iBeam;
};

void previewButton(BITMAP* s, FONT* med, const Tiles& t, const std::string& text, int y, bool held) {
  int width = std::max(text_length(med, text.c_str()) + 20, 96);
  int left = s->w / 2 - width / 2, right = left + width;
  if (width % 32) {
    int pad = 32 - width % 32;
    left -= pad / 2;
    right += pad - pad / 2;
  }
  BITMAP* l = held ? t.downL : t.upL;
  BITMAP* c = held ? t.downC : t.upC;
  BITMAP* r = held ? t.downR : t.upR;
  for (int x = left + 32; x <= std::max(right - 64, left + 32); x += 32) draw_sprite(s, c, x, y);
  draw_sprite(s, l, left, y);
  draw_sprite(s, r, right - 32, y);
  int v = std::max(0, (c->h - text_height(med)) / 2);
  textout_centre_ex(s, med, text.c_str(), s->w / 2, y + v, pal(0), -1);
}

void previewTextBox(BITMAP* s, FONT* med, const Tiles& t, const std::string& label, const std::string& text,
                    int tiles, int y, bool active) {
  int textWidth = tiles * 32, labelWidth = text_length(med, label.c_str()) + 20;
  int left = s->w / 2 - (textWidth + labelWidth) / 2;
  int textLeft = left + labelWidth, right = textLeft + textWidth;
  int v = std::max(0, (t.boxC->h - text_height(med)) / 2);
  textout_ex(s, med, label.c_str(), left, y + v, pal(35), -1);
  for (int x = textLeft + 32; x <= right - 32; x += 32) draw_sprite(s, t.boxC, x, y);
  draw_sprite(s, t.boxL, textLeft, y);
  draw_sprite(s, t.boxR, right - 32, y);
  textout_ex(s, med, text.c_str(), textLeft + 10, y + v, pal(35), -1);
  if (active)
    draw_sprite(s, t.iBeam, textLeft + 10 + text_length(med, text.c_str()) - t.iBeam->w / 2, y);
}

void placeholderCanvas(BITMAP* s) {
  for (int y = 0; y < s->h; ++y)
    for (int x = 0; x < s->w; ++x) putpixel(s, x, y, ((x / 4 + y / 4) & 1) ? pal(2) : pal(3));
}

void chatLine(BITMAP* s, FONT* small, const std::string& owner, const std::string& text, int colour, int y) {
  int w = text_length(small, owner.c_str()) + 9 + text_length(small, text.c_str()) + 1;
  BITMAP* g = create_bitmap(w, text_height(small) + 2);
  clear_to_color(g, maskColor());
  textout_ex(g, small, owner.c_str(), 1, 1, pal(34), -1);
  textout_ex(g, small, text.c_str(), text_length(small, owner.c_str()) + 9, 1, pal(colour), -1);
  int back = maskColor(), outline = makecol(0, 0, 0);
  for (int yy = 1; yy < g->h - 1; ++yy)
    for (int xx = 1; xx < g->w - 1; ++xx) {
      if (getpixel(g, xx, yy) != back) continue;
      bool near = false;
      for (int j = -1; j <= 1 && !near; ++j)
        for (int i = -1; i <= 1; ++i) {
          int p = getpixel(g, xx + i, yy + j);
          if (p != back && p != outline) near = true;
        }
      if (near) putpixel(g, xx, yy, outline);
    }
  draw_sprite(s, g, 10, y);
  destroy_bitmap(g);
}

bool writePreviews(const std::string& dir, DATAFILE* hoard, const Tiles& t, BITMAP* panelImage,
                   BITMAP* pointer, BITMAP* arrows[8]) {
  FONT* xlarge = static_cast<FONT*>(hoard[0].dat);
  FONT* med = static_cast<FONT*>(hoard[1].dat);
  FONT* small = static_cast<FONT*>(hoard[3].dat);
  BITMAP* s = create_bitmap(1024, 768);

  // Main menu over an empty (black) canvas, one button held.
  clear_to_color(s, pal(0));
  textout_centre_ex(s, xlarge, "Brelvin", s->w / 2, 10, pal(35), -1);
  previewButton(s, med, t, "Host New Session", 148, false);
  previewButton(s, med, t, "Join Existing Session", 196, true);
  previewButton(s, med, t, "Options", 244, false);
  previewButton(s, med, t, "Exit", 292, false);
  draw_sprite(s, pointer, 560, 210);
  bool ok = saveBmp(dir + "/preview_main_menu.bmp", s);

  // Host set-up over the joining placeholder, a field with the caret.
  placeholderCanvas(s);
  textout_centre_ex(s, xlarge, "Host a Session", s->w / 2, 10, pal(35), -1);
  previewTextBox(s, med, t, "User Name", "Painter", 9, 148, true);
  previewTextBox(s, med, t, "Map Width", "1600", 3, 196, false);
  previewTextBox(s, med, t, "Map Height", "10000", 3, 244, false);
  previewButton(s, med, t, "Start", 292, false);
  previewButton(s, med, t, "Cancel", 340, false);
  textout_centre_ex(s, small, "(Map dimensions are in pixels)", s->w / 2, s->h - 50, pal(80), -1);
  ok = saveBmp(dir + "/preview_host_setup.bmp", s) && ok;

  // Options and the error menu's text.
  clear_to_color(s, pal(0));
  textout_centre_ex(s, xlarge, "Options", s->w / 2, 10, pal(35), -1);
  previewTextBox(s, med, t, "Network Updates/Sec", "10", 2, 100, false);
  previewTextBox(s, med, t, "Synchronization Bandwidth (bytes/sec)", "2000", 3, 148, false);
  previewTextBox(s, med, t, "Horizontal Resolution", "1024", 2, 196, false);
  previewTextBox(s, med, t, "Vertical Resolution ", "768", 2, 244, true);
  previewButton(s, med, t, "Windowed", 292, false);
  previewButton(s, med, t, "Save", 340, false);
  previewButton(s, med, t, "Cancel", 388, false);
  textout_centre_ex(s, med, "Map Width abc doesn't look like an integer.", s->w / 2, 460, pal(80), -1);
  ok = saveBmp(dir + "/preview_options.bmp", s) && ok;

  // A session: strokes on the canvas, the panel with swatches, brushes and
  // arrows painted in the way the program does it, chat lines, the pointer.
  placeholderCanvas(s);
  for (int i = 0; i < 12; ++i) {
    int c = 5 + 5 * (i + 1);
    for (int k = 0; k < 3; ++k)
      for (int x = 80; x < 900; x += 4) {
        int y = 220 + i * 26 + int(std::sin(x / 70.0 + i) * 18);
        circlefill(s, x, y, 3 - k, pal(c - k));
      }
  }
  BITMAP* panel = create_bitmap(panelImage->w, panelImage->h);
  blit(panelImage, panel, 0, 0, 0, 0, panel->w, panel->h);
  const int W = panel->w, H = panel->h;
  for (int c = 0; c < 20; ++c)
    for (int r = 0; r < 5; ++r) {
      int x = W - 330 + 16 * c, y = H - 90 + 16 * r;
      rect(panel, x - 1, y - 1, x + 13, y + 13, pal(0));
      rectfill(panel, x, y, x + 13, y + 13, pal(1 + 5 * c + r));
    }
  for (int k = 0; k < 4; ++k) {
    int x = W - 346 - k, y = H - 80 + 19 * k;
    rect(panel, x - 3, y - 3, x + 2 * k + 3, y + 2 * k + 3, pal(45));
    rectfill(panel, x, y, x + 2 * k, y + 2 * k, pal(0));
  }
  const int X = W - 415, Y = H - 83;
  int ax[4] = {X, X, X - arrows[4]->w - 2, X + arrows[0]->w + 2};  // up, down, left, right
  int ay[4] = {Y, Y + 2 + arrows[0]->h + arrows[6]->h, Y + 1 + arrows[0]->h, Y + 1 + arrows[0]->h};
  for (int d = 0; d < 4; ++d) draw_sprite(panel, arrows[2 * d], ax[d], ay[d]);
  int guiX = s->w / 2 - W / 2, guiY = s->h - H;
  draw_sprite(s, panel, guiX, guiY);
  // Selected colour 35 (column 6, row 4) and brush 2; scrolling right.
  int hx = guiX + W - 331 + 16 * 6, hy = guiY + H - 91 + 16 * 4;
  rect(s, hx, hy, hx + 15, hy + 15, pal(35));
  rect(s, hx - 1, hy - 1, hx + 16, hy + 16, pal(35));
  int bx = guiX + W - 346 - 2 - 1, by = guiY + H - 80 + 38 - 1, bs = 6;
  rect(s, bx, by, bx + bs, by + bs, pal(34));
  rect(s, bx - 1, by - 1, bx + bs + 1, by + bs + 1, pal(34));
  draw_sprite(s, arrows[7], guiX + ax[3], guiY + ay[3]);
  textout_centre_ex(s, font, "1180,2460", guiX + X + arrows[0]->w / 2 + 2, s->h - 13, pal(0), pal(5));
  chatLine(s, small, "KivServer", "Listening for players on port 5050", 80, 32);
  chatLine(s, small, "Ada", "hello everyone, I'll take the top left corner", 4, 32 + text_height(small) + 14);
  chatLine(s, small, "Bo", "sounds good!", 4, 32 + 2 * (text_height(small) + 14));
  textout_ex(s, small, " typing a line_", s->w / 4, s->h - 200, pal(4), pal(0));
  textout_ex(s, small, "FPS: 27", s->w - 100, 5, pal(4), pal(0));
  draw_sprite(s, pointer, 600, 300);
  ok = saveBmp(dir + "/preview_session.bmp", s) && ok;

  // The five fonts of the datafile, in datafile order.
  clear_to_color(s, pal(0));
  static const char* roles[5] = {"0 extra-large: menu titles", "1 medium: buttons, text boxes, errors",
                                 "2 large", "3 small: chat, frame rate, footnote", "4 tiny"};
  int y = 10;
  for (int i = 0; i < 5; ++i) {
    FONT* f = static_cast<FONT*>(hoard[i].dat);
    textout_ex(s, f, roles[i], 10, y, pal(35), -1);
    y += text_height(f) + 4;
    textout_ex(s, f, "The quick brown fox jumps over the lazy dog 0123456789", 10, y, pal(4), -1);
    y += text_height(f) + 4;
    textout_ex(s, f, "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~ AaBbCcGgJjQqYy", 10, y, pal(80), -1);
    y += text_height(f) + 14;
  }
  ok = saveBmp(dir + "/preview_fonts.bmp", s) && ok;

  destroy_bitmap(panel);
  destroy_bitmap(s);
  return ok;
}

// ---------------------------------------------------------------- icon
// The desktop icon: a rounded tile of the panel's slate with its cyan rim,
// crossed by three strokes of paint in bright palette colours. Drawn four
// times larger with a coverage mask and reduced, so edges are smooth at
// every size; the corners are transparent.
BITMAP* makeIcon(int size) {
  const int k = 4, S = size * k;
  BITMAP* big = create_bitmap_ex(24, S, S);
  BITMAP* mask = create_bitmap_ex(8, S, S);
  clear_to_color(big, col(kInk));
  clear_to_color(mask, 0);
  const int R = S / 5, inset = S / 32;
  for (int y = inset; y < S - inset; ++y)
    for (int x = inset; x < S - inset; ++x)
      if (insideRounded(x - inset, y - inset, S - 2 * inset, S - 2 * inset, R)) {
        putpixel(mask, x, y, 255);
        putpixel(big, x, y, col(mix(kPanelTop, kPanelBottom, double(y) / S)));
      }
  // The rim: mask pixels near the mask's edge.
  const int rim = std::max(k, S / 24);
  for (int y = inset; y < S - inset; ++y)
    for (int x = inset; x < S - inset; ++x) {
      if (getpixel(mask, x, y) == 0) continue;
      bool edge = false;
      for (int d = 1; d <= rim && !edge; d += std::max(1, rim / 4))
        edge = getpixel(mask, x - d, y) == 0 || getpixel(mask, x + d, y) == 0 || getpixel(mask, x, y - d) == 0 ||
               getpixel(mask, x, y + d) == 0;
      if (edge) putpixel(big, x, y, col(kAccent));
    }
  static const int strokes[3] = {10, 25, 35};  // red, yellow, cyan, brightest shades
  for (int i = 0; i < 3; ++i) {
    const double radius = S * (0.075 - 0.012 * i);
    for (int x = S / 6; x <= S - S / 6; ++x) {
      const double t = double(x) / S;
      const double y = S * (0.30 + 0.20 * i) + std::sin(t * 6.0 + i * 1.3) * S * 0.07;
      circlefill(big, x, int(std::lround(y)), int(std::lround(radius)), pal(strokes[i]));
    }
  }
  BITMAP* out = create_bitmap_ex(32, size, size);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      int r = 0, g = 0, b = 0, a = 0;
      for (int j = 0; j < k; ++j)
        for (int i = 0; i < k; ++i) {
          const int m = getpixel(mask, k * x + i, k * y + j);
          const int p = getpixel(big, k * x + i, k * y + j);
          r += getr24(p) * m;
          g += getg24(p) * m;
          b += getb24(p) * m;
          a += m;
        }
      const int alpha = a / (k * k);
      if (a == 0) {
        putpixel(out, x, y, makeacol32(0, 0, 0, 0));
      } else {
        putpixel(out, x, y, makeacol32(r / a, g / a, b / a, alpha));
      }
    }
  destroy_bitmap(big);
  destroy_bitmap(mask);
  return out;
}

bool writeIcons(const std::string& dir) {
  static const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
  bool ok = true;
  for (int n : sizes) {
    const std::string size = std::to_string(n) + "x" + std::to_string(n);
    std::string path = dir;
    for (const std::string& part : {std::string(""), "/" + size, "/" + size + "/apps"}) {
      path = dir + part;
      mkdir(path.c_str(), 0777);
    }
    path += "/brelvin.png";
    BITMAP* icon = makeIcon(n);
    if (save_png(path.c_str(), icon, nullptr) != 0) {
      std::printf("Couldn't write %s\n", path.c_str());
      ok = false;
    }
    destroy_bitmap(icon);
  }
  return ok;
}

FONT* loadArtFont(const std::string& dir, const char* name) {
  std::string path = dir + "/" + name;
  FONT* f = load_bitmap_font(path.c_str(), nullptr, nullptr);
  if (!f) std::printf("Couldn't load %s\n", path.c_str());
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const bool iconsOnly = argc == 3 && std::string(argv[1]) == "--icons";
  if (argc < 3 || argc > 4) {
    std::printf("usage: %s DATA_DIR ART_FONT_DIR [PREVIEW_DIR]\n       %s --icons ICON_DIR\n", argv[0], argv[0]);
    return EXIT_FAILURE;
  }
  const std::string data = argv[1], fonts = argv[2];
  if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
    std::printf("Couldn't initialise Allegro\n");
    return EXIT_FAILURE;
  }
  set_color_depth(24);
  set_color_conversion(COLORCONV_NONE);
  jpgalleg_init();
  if (iconsOnly) return writeIcons(argv[2]) ? EXIT_SUCCESS : EXIT_FAILURE;

  ArtFonts art;
  art.title = loadArtFont(fonts, "art_title.pcx");
  art.text = loadArtFont(fonts, "art_text.pcx");
  art.label = loadArtFont(fonts, "art_label.pcx");
  art.small = loadArtFont(fonts, "art_small.pcx");
  if (!art.title || !art.text || !art.label || !art.small) return EXIT_FAILURE;

  const std::string g = data + "/graphics";
  bool ok = true;

  BITMAP* pointer = makePointer();
  ok = saveBmp(g + "/cursor/cursor.bmp", pointer) && ok;
  static const char* arrowNames[4] = {"up", "down", "left", "right"};
  BITMAP* arrows[8];
  for (int d = 0; d < 4; ++d) {
    arrows[2 * d] = makeArrow(d, false);
    arrows[2 * d + 1] = makeArrow(d, true);
    ok = saveBmp(g + "/cursor/" + arrowNames[d] + "_arrow.bmp", arrows[2 * d]) && ok;
    ok = saveBmp(g + "/cursor/active_" + arrowNames[d] + "_arrow.bmp", arrows[2 * d + 1]) && ok;
  }

  BITMAP* up = makeButton(false);
  BITMAP* down = makeButton(true);
  BITMAP* field = makeTextField();
  Tiles t = {tile(up, 0),    tile(up, 1),    tile(up, 2),    tile(down, 0), tile(down, 1),
             tile(down, 2),  tile(field, 0), tile(field, 1), tile(field, 2), makeIBeam()};
  const std::string gui = g + "/gui/";
  ok = saveBmp(gui + "left_button_up.bmp", t.upL) && ok;
  ok = saveBmp(gui + "center_button_up.bmp", t.upC) && ok;
  ok = saveBmp(gui + "right_button_up.bmp", t.upR) && ok;
  ok = saveBmp(gui + "left_button_down.bmp", t.downL) && ok;
  ok = saveBmp(gui + "center_button_down.bmp", t.downC) && ok;
  ok = saveBmp(gui + "right_button_down.bmp", t.downR) && ok;
  ok = saveBmp(gui + "left_textbox.bmp", t.boxL) && ok;
  ok = saveBmp(gui + "center_textbox.bmp", t.boxC) && ok;
  ok = saveBmp(gui + "right_textbox.bmp", t.boxR) && ok;
  ok = saveBmp(gui + "i_beam.bmp", t.iBeam) && ok;

  BITMAP* panel = makePanel(art);
  ok = saveBmp(gui + "paint_gui.bmp", panel) && ok;

  BITMAP* exitScreen = makeExitScreen(art);
  const std::string jpg = g + "/screens/shut_down.jpg";
  if (save_jpg_ex(jpg.c_str(), exitScreen, nullptr, 92, JPG_SAMPLING_444 | JPG_OPTIMIZE, nullptr) != 0) {
    std::printf("Couldn't write %s: %s\n", jpg.c_str(), jpgalleg_error_string());
    ok = false;
  } else {
    std::printf("Wrote %s (%dx%d)\n", jpg.c_str(), exitScreen->w, exitScreen->h);
  }

  if (argc == 4) {
    DATAFILE* hoard = load_datafile((data + "/hoard.dat").c_str());
    if (!hoard) {
      std::printf("Couldn't load %s/hoard.dat for the previews\n", data.c_str());
      ok = false;
    } else {
      ok = writePreviews(argv[3], hoard, t, panel, pointer, arrows) && ok;
      unload_datafile(hoard);
    }
  }
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
