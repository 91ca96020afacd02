#!/usr/bin/env bash
# Join times from the client's side: headless clients (brelvin_peer, the
# program's own session on memory bitmaps: placeholder, canvas planes, mirror
# bitmap and verification) join a blank canvas on brelvin-host, link-paced
# (10000000 B/s). Each client's time runs from its start (it connects at
# once) to its "The picture is complete" line.
#
#   bench/join_bench.sh [--old BUILD_DIR] [--repeat R] [--cases C,C...] [BUILD_DIR]
#
# Cases are SIDExCLIENTS (default 1600x1, 10000x1, 10000x8). With --old, the
# same cases run with the old build's host and clients too, old and new in
# turn, and the ratio of the medians is printed. BUILD_DIR is a build with
# brelvin-host and brelvin_peer in it (build/bench, Release, by default).

set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/peer_tools.sh"

old=""
repeat=2
cases="1600x1,10000x1,10000x8"
new=""
while [ $# -gt 0 ]; do
  case "$1" in
    --old) old="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --cases) cases="$2"; shift 2 ;;
    *) new="$1"; shift ;;
  esac
done
if [ -z "$new" ]; then
  new="$(tools_dir)"
  cmake --build "$new" -j2 --target brelvin-host >/dev/null
fi

work="$(mktemp -d)"
host=""
clients=()
cleanup() {
  for pid in "${clients[@]}" $host; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

now_ms() { local t=$EPOCHREALTIME; echo $(( ${t/./} / 1000 )); }

# run_case DIR SIDE N: prints the N clients' times in ms, one a line
# ("-1" for a client that did not finish within 120 s).
run_case() {
  local dir="$1" side="$2" n="$3"
  rm -f "$work"/*.out
  "$dir/brelvin-host" "$side" "$side" --port 0 --bandwidth 10000000 --save-every 0 \
    --pictures "$work/pictures" >"$work/host.out" 2>&1 &
  host=$!
  local port=""
  for _ in $(seq 600); do
    port=$(sed -n 's/.* canvas on port \([0-9]*\).*/\1/p' "$work/host.out" 2>/dev/null)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "host did not start" >&2; exit 1; }
  clients=()
  local start
  start=$(now_ms)
  for i in $(seq "$n"); do
    "$dir/brelvin_peer" --join 127.0.0.1 --port "$port" --bandwidth 10000000 --strokes 0 --name "c$i" --deadline-ms 120000 \
      >"$work/c$i.out" 2>&1 &
    clients+=($!)
  done
  local -A done_at=()
  local left=$n
  while [ "$left" -gt 0 ] && [ $(( $(now_ms) - start )) -lt 120000 ]; do
    for i in $(seq "$n"); do
      [ -n "${done_at[$i]:-}" ] && continue
      if grep -q "The picture is complete" "$work/c$i.out" 2>/dev/null; then
        done_at[$i]=$(( $(now_ms) - start ))
        kill "${clients[$((i - 1))]}" 2>/dev/null || true
        left=$((left - 1))
      fi
    done
    sleep 0.02
  done
  for pid in "${clients[@]}" $host; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  clients=()
  host=""
  for i in $(seq "$n"); do echo "${done_at[$i]:--1}"; done
}

median() { sort -n | awk '{v[NR] = $1} END {if (NR == 0) print -1; else print v[int((NR + 1) / 2)]}'; }
seconds() { awk -v ms="$1" 'BEGIN { if (ms >= 999999) printf "over 120"; else printf "%.2f", ms / 1000 }'; }

echo "join bench: new $new${old:+, old $old}, $repeat runs a case"
printf "%-10s %-4s %s\n" "case" "run" "client times (ms)  [slowest]"
for c in ${cases//,/ }; do
  side=${c%x*}
  n=${c#*x}
  : >"$work/new.all"
  : >"$work/old.all"
  for r in $(seq "$repeat"); do
    for kind in old new; do
      [ "$kind" = old ] && [ -z "$old" ] && continue
      dir=$new
      [ "$kind" = old ] && dir=$old
      times=$(run_case "$dir" "$side" "$n" | tr '\n' ' ')
      # A client that did not finish counts as the slowest of all.
      slowest=$(echo "$times" | tr ' ' '\n' | sed '/^$/d' | awk '$1 < 0 {bad = 1} $1 > m {m = $1} END {print bad ? 999999 : m}')
      echo "$slowest" >>"$work/$kind.all"
      printf "%-10s %-4s %s %s [%s]\n" "$c" "$r" "$kind" "$times" "$slowest"
    done
  done
  m_new=$(median <"$work/new.all")
  if [ -n "$old" ]; then
    m_old=$(median <"$work/old.all")
    ratio=$(awk -v o="$m_old" -v n="$m_new" 'BEGIN { if (o >= 999999) printf "over %.2f", 120000 / n; else printf "%.2f", o / n }')
    printf "%-10s slowest client, median: old %s s, new %s s, ratio old/new %s\n" "$c" "$(seconds "$m_old")" \
      "$(seconds "$m_new")" "$ratio"
  else
    printf "%-10s slowest client, median: %s s\n" "$c" "$(seconds "$m_new")"
  fi
done
