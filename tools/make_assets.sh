#!/usr/bin/env bash
# Regenerates Brelvin's run-time data: data/hoard.dat (the five fonts) and the
# images under data/graphics. The outputs are committed, so this only needs
# to run after a change to the generators.
#
#   tools/make_assets.sh [PREVIEW_DIR]
#
# PREVIEW_DIR (optional) receives mock screens built from the new data: the
# menus, a session with the paint panel, and a sheet of the five fonts.
# Needs: python3-pil (glyph rendering), fonts-dejavu-core (the typeface),
# liballegro4-dev (the dat utility) and the project's build tools.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BRELVIN_ASSET_BUILD:-$root/build-assets}
preview=${1:-}
python=/usr/bin/python3

if ! "$python" -c "import PIL" 2>/dev/null; then
  echo "make_assets: needs Pillow for $python (apt-get install python3-pil)" >&2
  exit 1
fi
command -v dat >/dev/null || { echo "make_assets: needs dat (apt-get install liballegro4-dev)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 1. Fonts: glyph grids, then the datafile. Objects keep the order they are
#    added in (-n0), and the names sort the same way, so object 0 is the
#    extra-large font ... object 4 the tiny one. -s1 drops the grabber's
#    source paths and dates, so the file only changes when the fonts do.
"$python" "$root/tools/make_fonts.py" "$work"
rm -f "$root/data/hoard.dat"
(cd "$work" && dat -n0 -s1 -c2 "$root/data/hoard.dat" -a -t FONT \
   f0_xlarge.pcx f1_medium.pcx f2_large.pcx f3_small.pcx f4_tiny.pcx)
dat -l "$root/data/hoard.dat"

# 2. Images, drawn with Allegro by the project's own tool.
mkdir -p "$root/data/graphics/cursor" "$root/data/graphics/gui" "$root/data/graphics/screens"
cmake -S "$root" -B "$build" -DBRELVIN_TESTS=OFF >/dev/null
cmake --build "$build" --target make_graphics -j2
args=("$root/data" "$work")
if [ -n "$preview" ]; then
  mkdir -p "$preview"
  args+=("$(cd "$preview" && pwd)")
fi
"$build/make_graphics" "${args[@]}"
