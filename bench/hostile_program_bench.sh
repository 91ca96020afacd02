#!/usr/bin/env bash
# The program itself facing a hostile host: brelvin, in a private Xvfb with
# BRELVIN_FRAME_LOG set, joins brelvin_attack --hostile-host KIND on port 5050
# through its menus (Join a Session, then Join) and runs for SECONDS while the
# host floods it. Printed per kind: frames a second over the run, the fewest
# frames drawn in one whole second, the longest gap between two frames, the
# program's CPU share, and how its session ended. The window must keep
# drawing whatever the host sends (10 frames a second at the very least).
#
#   bench/hostile_program_bench.sh [--kinds draw,flush,chat,repair] [--seconds S] [BUILD_DIR]
#
# BUILD_DIR holds brelvin and brelvin_attack (build/test by default). Port
# 5050 is taken with the screen tests' lock.

set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$root/bench/peer_tools.sh"
kinds="draw,flush,chat,repair"
seconds=12
build="$root/build/test"
while [ $# -gt 0 ]; do
  case "$1" in
    --kinds) kinds="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    *) build="$1"; shift ;;
  esac
done
# The program runs in a copy of data/: the build by its absolute path.
build="$(cd "$build" && pwd)"
for tool in brelvin brelvin_attack; do
  [ -x "$build/$tool" ] || { echo "no $build/$tool: build it first" >&2; exit 2; }
done

work="$(mktemp -d)"
xvfb=""
prog=""
hostile=""
stop_case() {
  for pid in $prog $hostile; do kill "$pid" 2>/dev/null || true; done
  for pid in $prog $hostile; do wait "$pid" 2>/dev/null || true; done
  prog=""
  hostile=""
}
cleanup() {
  stop_case
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

private_display "$work"

# A click held as a person holds it, at the centre of a menu row.
click_row() {
  DISPLAY=$display xdotool mousemove 512 $((166 + 48 * $1)) mousedown 1 sleep 0.06 mouseup 1 >/dev/null 2>&1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

run_case() {
  local kind="$1"
  "$build/brelvin_attack" --hostile-host "$kind" --port 5050 --seconds $((seconds + 10)) >"$work/hostile.out" 2>&1 &
  hostile=$!
  rm -rf "$work/run" "$work/frames.log"
  cp -r "$root/data" "$work/run"
  (cd "$work/run" && DISPLAY=$display BRELVIN_FRAME_LOG="$work/frames.log" exec "$build/brelvin" >"$work/prog.out" 2>&1) &
  prog=$!
  for _ in $(seq 300); do grep -qs '^frame' "$work/frames.log" && break; sleep 0.1; done
  # A menu takes no input for its first half second.
  sleep 2
  click_row 1
  sleep 1.5
  # Join is the third row, or the fourth below a password box.
  click_row 2
  sleep 1
  grep -q "KIV_SEGMENT_SIZE" "$work/prog.out" || click_row 3
  local from_ms cpu0
  from_ms=$(awk '/^frame/ {t = $2} END {print t + 0}' "$work/frames.log")
  cpu0=$(cpu_ticks "$prog")
  sleep "$seconds"
  local cpu1 ended
  cpu1=$(cpu_ticks "$prog")
  ended=$(grep -o "KivClient .*" "$work/prog.out" | grep -v -e "picture is complete" -e "Welcome" | head -1 || true)
  [ -z "$ended" ] && ended="still joined"
  awk -v from="$from_ms" -v clk="$(getconf CLK_TCK)" -v cpu=$((cpu1 - cpu0)) -v secs="$seconds" \
    -v kind="$kind" -v ended="$ended" '
    /^frame/ && $2 >= from {
      if (!n++) first = $2
      last = $2
      if (n > 1 && $7 > gap) gap = $7
      per[int(($2 - from) / 1000)]++
    }
    END {
      worst = -1
      whole = int((last - from) / 1000)
      for (s = 0; s < whole; ++s) if (worst < 0 || per[s] < worst) worst = per[s] + 0
      span = (last - first) / 1000
      printf "%-7s %6.1f fps  fewest in a second %3d  longest gap %6.1f ms  CPU %3.0f%%  %s\n", kind,
        (span > 0 ? (n - 1) / span : 0), worst, gap, 100 * cpu / clk / secs, ended
    }' "$work/frames.log"
  stop_case
}

echo "hostile program bench: $build, $seconds s a case, display $display"
for kind in ${kinds//,/ }; do run_case "$kind"; done
