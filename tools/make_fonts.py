#!/usr/bin/python3
"""Renders Brelvin's fonts as glyph-grid images that Allegro's font grabber reads.

The program draws all text in palette colours with textout_ex, and only
monochrome fonts take the colour argument, so every glyph is rendered hinted
and 1-bit (no antialiasing): FreeType's mono hinting keeps the small sizes
crisp. Each grid is an 8-bit image: colour 255 is the border between cells,
0 the cell background and 1 the ink, which is the layout the grabber turns
into a monochrome proportional font (ASCII 32 to 126, 16 glyphs a row).

Usage: make_fonts.py OUT_DIR
Writes OUT_DIR/f0_xlarge.pcx ... OUT_DIR/f4_tiny.pcx (the datafile's five
fonts, in datafile order) and OUT_DIR/art_*.pcx, big fonts that only the
graphics generator uses to draw titles and labels into the images.
"""
import os
import sys

from PIL import Image, ImageDraw, ImageFont

FONT_DIR = "/usr/share/fonts/truetype/dejavu"

# name, face, pixel size. The order of the first five is the datafile order:
# extra-large (titles), medium (buttons, text boxes, error text), large,
# small (chat, frame rate, footnote), tiny.
FONTS = [
    ("f0_xlarge", "DejaVuSans-Bold.ttf", 40),
    ("f1_medium", "DejaVuSans-Bold.ttf", 15),
    ("f2_large", "DejaVuSans-Bold.ttf", 24),
    ("f3_small", "DejaVuSans.ttf", 13),
    ("f4_tiny", "DejaVuSans.ttf", 10),
    # Only for the graphics generator, which supersamples them 4x.
    ("art_title", "DejaVuSans-Bold.ttf", 4 * 96),
    ("art_text", "DejaVuSans.ttf", 4 * 30),
    ("art_label", "DejaVuSans-Bold.ttf", 4 * 26),
    ("art_small", "DejaVuSans-Bold.ttf", 4 * 11),
]

FIRST, LAST = 32, 126
PER_ROW = 16
BORDER, BACK, INK = 255, 0, 1


def render_glyph(font, ch, height):
    """Returns a 1-bit image of one glyph cell: the advance widened to hold
    any ink that overhangs it, so nothing is clipped."""
    advance = max(1, int(round(font.getlength(ch, mode="1"))))
    pad = height  # generous room for overhangs on either side
    img = Image.new("1", (advance + 2 * pad, height), 0)
    ImageDraw.Draw(img).text((pad, 0), ch, font=font, fill=1)
    box = img.getbbox()
    left, right = pad, pad + advance
    if box is not None:
        left = min(left, box[0])
        right = max(right, box[2])
    return img.crop((left, 0, right, height))


def make_grid(face, size):
    font = ImageFont.truetype(os.path.join(FONT_DIR, face), size)
    ascent, descent = font.getmetrics()
    height = ascent + descent
    glyphs = [render_glyph(font, chr(c), height) for c in range(FIRST, LAST + 1)]
    rows = [glyphs[i:i + PER_ROW] for i in range(0, len(glyphs), PER_ROW)]
    width = max(sum(g.width + 1 for g in row) + 1 for row in rows)
    grid = Image.new("P", (width, len(rows) * (height + 1) + 1), BORDER)
    pal = [0, 0, 0, 255, 255, 255] + [0, 0, 0] * 253 + [255, 255, 0]
    grid.putpalette(pal)
    y = 0
    for row in rows:
        x = 0
        for g in row:
            cell = Image.new("P", g.size, BACK)
            cell.paste(INK, (0, 0), g)
            grid.paste(cell, (x + 1, y + 1))
            x += g.width + 1
        y += height + 1
    return grid


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_fonts.py OUT_DIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, face, size in FONTS:
        make_grid(face, size).save(os.path.join(out, name + ".pcx"))


if __name__ == "__main__":
    main()
