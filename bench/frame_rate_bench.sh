#!/usr/bin/env bash
# Frame rate of the program itself while 8 peers paint over the network.
# brelvin runs in a private Xvfb with BRELVIN_FRAME_LOG set, in one of two
# roles:
#   host: it hosts a blank canvas through its menus and 8 headless clients
#         (brelvin_peer --join --paint-forever) join it and paint;
#   join: a painting headless host (brelvin_peer --host --paint-forever) and
#         7 painting headless clients, and the program joins as the 8th client.
# Every painter adds a stroke segment each tick, anywhere on the canvas. Once
# all paint, the overview map is shown (M) and the program is stepped through
# its scales as a person does (PageUp to 4:1, then PageDown to the whole
# canvas, the pointer in the middle of the view). At each scale the first
# frames are let go, then FRAMES frames are taken from the program's frame
# log. Printed per scale: frames a second, the frame's work (its logic ticks
# and the drawing) as median and worst (with the processor time the worst
# one used: far less means it waited for a core), how many frames took longer than a
# tick (33 ms), the longest gap between two frames, and the program's CPU
# share.
#
#   bench/frame_rate_bench.sh [--roles host,join] [--sides 1600,10000] [--frames N] [--keep DIR] [BUILD_DIR]
#
# --keep keeps a screenshot of each case and scale, and each case's frame
# log, in DIR.
# BUILD_DIR holds brelvin and brelvin_peer (build/test by default). Port 5050
# is taken with the screen tests' lock.

set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$root/bench/peer_tools.sh"
roles="host,join"
sides="1600,10000"
frames=300
build="$root/build/test"
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --roles) roles="$2"; shift 2 ;;
    --sides) sides="$2"; shift 2 ;;
    --frames) frames="$2"; shift 2 ;;
    --keep) mkdir -p "$2"; keep="$(cd "$2" && pwd)"; shift 2 ;;
    *) build="$1"; shift ;;
  esac
done
# The program runs in a copy of data/: the build by its absolute path.
build="$(cd "$build" && pwd)"
for tool in brelvin brelvin_peer; do
  [ -x "$build/$tool" ] || { echo "no $build/$tool: build it first" >&2; exit 2; }
done

work="$(mktemp -d)"
xvfb=""
prog=""
peers=()
stop_session() {
  for pid in "${peers[@]}" $prog; do kill "$pid" 2>/dev/null || true; done
  for pid in "${peers[@]}" $prog; do wait "$pid" 2>/dev/null || true; done
  peers=()
  prog=""
}
cleanup() {
  stop_session
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

private_display "$work"

xdo() { DISPLAY=$display xdotool "$@" >/dev/null 2>&1 || true; }
# A key or a click held as a person holds it.
press() { xdo keydown "$1" sleep 0.06 keyup "$1"; sleep 0.3; }
click() { xdo mousemove "$1" "$2" mousedown 1 sleep 0.06 mouseup 1; }
# The centre of a menu row.
row() { echo $((166 + 48 * $1)); }
frames_seen() { grep -c '^frame' "$work/frames.log" 2>/dev/null || echo 0; }
frames_past() { [ "$(frames_seen)" -ge "$1" ]; }
# The scale of the last frame drawn.
scale_now() { tail -n 1 "$work/frames.log" 2>/dev/null | awk '{print $3}'; }
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND is
  local until=$((SECONDS + $1))
  shift
  while [ $SECONDS -lt $until ]; do
    "$@" && return 0
    sleep 0.2
  done
  "$@"
}
scale_is_not() { [ "$(scale_now)" != "$1" ]; }
in_session() { local s; s="$(scale_now)"; [ -n "$s" ] && [ "$s" != menu ]; }
# Every painter paints and every joined copy, the program's too, is complete.
painting() {
  local n=0
  grep -qs ': ready after' "$work/peer0.out" && n=1
  n=$((n + $(grep -ls 'The picture is complete' "$work"/peer*.out | wc -l)))
  echo "$n"
}
all_ready() {
  [ "$(painting)" -ge 8 ] || return 1
  [ "$1" = host ] || grep -qs 'The picture is complete' "$work/prog.out"
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

start_program() {
  rm -rf "$work/run" "$work/frames.log"
  cp -r "$root/data" "$work/run"
  (cd "$work/run" && DISPLAY=$display BRELVIN_FRAME_LOG="$work/frames.log" exec "$build/brelvin" >"$work/prog.out" 2>&1) &
  prog=$!
  wait_for 30 grep -qs '^frame' "$work/frames.log"
  # A menu takes no input for its first half second.
  sleep 2
}

start_peer() {  # start_peer N ROLE_ARGS...
  local n="$1"
  shift
  "$build/brelvin_peer" "$@" --port 5050 --paint-forever --area 0 0 "$side" "$side" --seed $((n + 1)) \
    --name "painter$n" --bandwidth 10000000 --deadline-ms 900000 >"$work/peer$n.out" 2>&1 &
  peers+=($!)
}

# Digits typed a key at a time; a key pressed again only after a rest, or
# the program may take it for the keyboard's repeat.
type_digits() {
  local i c keys=""
  for ((i = 0; i < ${#1}; ++i)); do
    c="${1:i:1}"
    keys+=" keydown $c sleep 0.08 keyup $c sleep 0.3"
  done
  # shellcheck disable=SC2086
  xdo $keys
}
# A size box of the host setup: the text typed over what it held.
type_size() {
  click 600 "$(row "$1")"
  xdo keydown BackSpace sleep 1.2 keyup BackSpace
  type_digits "$2"
}

setup_host() {
  start_program
  click 512 "$(row 0)"  # Host a Session
  sleep 1.5
  if [ "$side" != 1600 ]; then
    type_size 1 "$side"
    type_size 2 "$side"
  fi
  click 512 "$(row 5)"  # Begin Hosting
  wait_for 60 in_session || return 1
  for n in 1 2 3 4 5 6 7 8; do start_peer "$n" --join 127.0.0.1; done
}

setup_join() {
  rm -f "$work"/peer*.out
  start_peer 0 --host "$side" "$side" --clients 8
  wait_for 30 grep -qs 'started on port' "$work/peer0.out"
  for n in 1 2 3 4 5 6 7; do start_peer "$n" --join 127.0.0.1; done
  start_program
  click 512 "$(row 1)"  # Join a Session
  sleep 1.5
  click 512 "$(row 3)"  # Connect, below the password box
  wait_for 60 in_session || return 1
}

# measure LABEL: FRAMES frames at the current scale; one line of figures.
measure() {
  local scale from cpu0 cpu1 clk
  scale="$(scale_now)"
  # The frames of the change itself go.
  from=$(($(frames_seen) + 30))
  wait_for 10 frames_past "$from"
  cpu0=$(cpu_ticks "$prog")
  wait_for $((frames / 10 + 60)) frames_past $((from + frames))
  cpu1=$(cpu_ticks "$prog")
  clk=$(getconf CLK_TCK)
  awk -v from="$from" -v n="$frames" '/^frame/ { ++seen; if (seen > from && seen <= from + n) print }' \
    "$work/frames.log" >"$work/taken"
  local spread
  spread="$(awk '{print $5 + $6}' "$work/taken" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)], v[NR]}')"
  awk -v scale="$scale" -v cpu=$((cpu1 - cpu0)) -v clk="$clk" -v spread="$spread" '
    { t[++k] = $2; if ($3 != scale) other++; if ($7 > gap) gap = $7; if ($5 + $6 > 33.3) slow++
      if ($5 + $6 > worst) { worst = $5 + $6; worstCpu = $8 }
      if ($5 > logic) logic = $5; if ($6 > draw) draw = $6 }
    END {
      if (k < 2) { printf "%-6s no frames\n", scale; exit }
      split(spread, w, " ")
      secs = (t[k] - t[1]) / 1000
      printf "%-6s %5.1f fps  work median %5.2f ms, worst %6.2f ms (CPU %5.2f; worst logic %6.2f, drawing %6.2f), %d over 33 ms  longest gap %5.1f ms  CPU %3.0f%%%s\n",
        scale, (k - 1) / secs, w[1], w[2], worstCpu, logic, draw, slow, gap, 100 * cpu / clk / secs,
        other ? "  (" other " frames at another scale)" : ""
    }' "$work/taken"
}

run_case() {  # run_case ROLE
  local role="$1"
  rm -f "$work"/peer*.out
  if ! "setup_$role"; then
    echo "$side x $side, the program as $role: no session ($(tail -n 3 "$work/prog.out" | tr '\n' ' '))"
    stop_session
    return
  fi
  local asked=$SECONDS
  if ! wait_for 180 all_ready "$role"; then
    echo "$side x $side, the program as $role: only $(painting) of 8 painters ready"
    stop_session
    return
  fi
  echo "$side x $side, the program as $role, 8 painters (all painting, every copy complete, $((SECONDS - asked)) s after the session began), load average $(cut -d' ' -f1-3 /proc/loadavg):"
  xdo mousemove 512 324
  press m
  # In to 4:1, then out a step at a time down to the whole canvas.
  for _ in 1 2 3; do
    [ "$(scale_now)" = 4:1 ] && break
    press Prior
    sleep 0.5
  done
  local last=""
  while :; do
    wait_for 5 scale_is_not "$last" || break
    last="$(scale_now)"
    echo "  $(measure)"
    [ -n "$keep" ] && DISPLAY=$display xwd -root -silent | convert xwd:- "$keep/${side}_${role}_${last/:/-}.png"
    [ "$last" = whole ] && break
    press Next
  done
  [ -n "$keep" ] && cp "$work/frames.log" "$keep/${side}_${role}_frames.log"
  stop_session
}

echo "frame rate bench: $build, $frames frames a scale, display $display, $(nproc) cores"
for side in ${sides//,/ }; do
  for role in ${roles//,/ }; do
    run_case "$role"
  done
done
