#!/usr/bin/env bash
# Join time of the program itself: brelvin, in a private Xvfb, joins a blank
# canvas of brelvin-host on port 5050, link-paced (the shipped setting),
# through its menus as a person would (Join a Session, then Join). Printed:
# the program's own "The picture is complete (N seconds)" figure, which runs
# from the host's greeting, and the time from the Join click to that line.
#
#   bench/join_program_bench.sh [--old BUILD_DIR] [--repeat R] [--sides S,S...] [BUILD_DIR]
#
# BUILD_DIR holds brelvin and brelvin-host (build/test by default); with
# --old another build's program and host run in turn with the same sides
# (default 1600,10000). Port 5050 is taken with the screen tests' lock.

set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$root/bench/peer_tools.sh"
old=""
repeat=2
sides="1600,10000"
new="$root/build/test"
while [ $# -gt 0 ]; do
  case "$1" in
    --old) old="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --sides) sides="$2"; shift 2 ;;
    *) new="$1"; shift ;;
  esac
done

# The program runs in a copy of data/: the builds by absolute paths.
new="$(cd "$new" && pwd)"
[ -n "$old" ] && old="$(cd "$old" && pwd)"
work="$(mktemp -d)"
xvfb=""
host=""
prog=""
cleanup() {
  for pid in $prog $host $xvfb; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

private_display "$work"

now_ms() { local t=$EPOCHREALTIME; echo $(( ${t/./} / 1000 )); }
# A click held as a person holds it, at the centre of a menu row.
click_row() {
  DISPLAY=$display xdotool mousemove 512 $((166 + 48 * $1)) mousedown 1 sleep 0.06 mouseup 1 >/dev/null 2>&1
}

# run_once DIR SIDE: prints "PROGRAM_S CLICK_MS", or "-1 -1".
run_once() {
  local dir="$1" side="$2"
  "$dir/brelvin-host" "$side" "$side" --port 5050 --bandwidth 10000000 --save-every 0 \
    --pictures "$work/pictures" >"$work/host.out" 2>&1 &
  host=$!
  for _ in $(seq 600); do grep -q "canvas on port" "$work/host.out" 2>/dev/null && break; sleep 0.1; done
  local result="-1 -1"
  for attempt in 1 2 3; do
    rm -rf "$work/run"
    cp -r "$root/data" "$work/run"
    (cd "$work/run" && DISPLAY=$display exec "$dir/brelvin" >"$work/prog.out" 2>&1) &
    prog=$!
    for _ in $(seq 300); do
      DISPLAY=$display xdotool search --name '^Brelvin$' >/dev/null 2>&1 && break
      sleep 0.1
    done
    # A menu takes no input for its first half second.
    sleep 2
    click_row 1
    sleep 1.5
    local clicked
    clicked=$(now_ms)
    # Join is the third row, or the fourth below a password box: the third
    # row first (a password box only takes the focus), then the fourth.
    click_row 2
    for _ in $(seq 150); do grep -q "KIV_SEGMENT_SIZE" "$work/prog.out" && break; sleep 0.02; done
    if ! grep -q "KIV_SEGMENT_SIZE" "$work/prog.out"; then
      clicked=$(now_ms)
      click_row 3
    fi
    local done_ms=""
    while [ $(( $(now_ms) - clicked )) -lt 120000 ]; do
      if grep -q "The picture is complete (" "$work/prog.out"; then
        done_ms=$(( $(now_ms) - clicked ))
        break
      fi
      if [ $(( $(now_ms) - clicked )) -gt 5000 ] && ! grep -q "KIV_SEGMENT_SIZE" "$work/prog.out"; then break; fi
      sleep 0.02
    done
    kill "$prog" 2>/dev/null || true
    wait "$prog" 2>/dev/null || true
    prog=""
    if [ -n "$done_ms" ]; then
      result="$(sed -n 's/.*The picture is complete (\([0-9.]*\) seconds).*/\1/p' "$work/prog.out" | head -1) $done_ms"
      break
    fi
  done
  kill "$host" 2>/dev/null || true
  wait "$host" 2>/dev/null || true
  host=""
  echo "$result"
}

echo "program join bench: new $new${old:+, old $old}, $repeat runs a side, display $display"
for side in ${sides//,/ }; do
  for r in $(seq "$repeat"); do
    for kind in old new; do
      [ "$kind" = old ] && [ -z "$old" ] && continue
      dir=$new
      [ "$kind" = old ] && dir=$old
      read -r program click <<<"$(run_once "$dir" "$side")"
      printf "%5s x %-5s run %s %-3s: the program says %s s; from the Join click %s ms\n" "$side" "$side" "$r" "$kind" \
        "$program" "$click"
    done
  done
done
