#!/usr/bin/env bash
# A long session against a headless host: the host and seven well-behaved
# clients (brelvin_peer --pace) paint and chat at a person's pace, while an
# eighth, hostile peer (brelvin_attack --rotate) turns every 30 s to the next
# of random bytes, tiny bodies, 60 KB chats, the costliest DRAW and a reader
# that stalls, coming back at once whenever the host drops it. The hostile
# peer stops when the painting time is over; then every peer stops painting
# and the well-behaved clients must end with the host's segment CRCs.
#
# Figures: the host's resident memory (VmRSS) once a minute and its growth
# after the first minute, the host's longest engine step (and the most CPU
# time one step took), how many clients converged, what the hostile peer cost
# the host (excess refused, drops, reconnects) and the machine's load average
# once a minute.
#
#   bench/soak.sh [--minutes M] [BUILD_DIR]
#
# M is the painting time (30 by default). Without BUILD_DIR it builds the
# tools (Release) in build/bench. The logs stay in BRELVIN_SOAK_DIR (a new
# temporary folder by default); BRELVIN_SOAK_PORT sets the port (5191).
# Exit status 1 when a well-behaved peer failed or did not converge.
set -euo pipefail
. "$(dirname "$0")/peer_tools.sh"
minutes=30
if [ "${1:-}" = "--minutes" ]; then
  minutes="$2"
  shift 2
fi
dir="$(tools_dir "${1:-}")"
peer="$dir/brelvin_peer"
attack="$dir/brelvin_attack"
port="${BRELVIN_SOAK_PORT:-5191}"
work="${BRELVIN_SOAK_DIR:-$(mktemp -d)}"
mkdir -p "$work"
clients=7
paint_ms=$((minutes * 60 * 1000))
# Time enough after the painting for the last repairs.
deadline_ms=$((paint_ms + 600000))

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# The sum of the counts of host lines holding TEXT ("(xN)" for coalesced repeats).
host_count() {
  grep -F -- "$1" "$work/host.out" | awk '{ n = 1; if (match($0, /\(x[0-9]+\)$/)) n = substr($0, RSTART + 2, RLENGTH - 3); s += n } END { print s + 0 }'
}

echo "soak: $minutes minutes of painting, logs in $work"
"$peer" --host 1600 1600 --clients "$clients" --port "$port" --name host --seed 1 --area 600 600 400 400 \
  --pace "$paint_ms" --deadline-ms "$deadline_ms" --out "$work/host.txt" >"$work/host.out" 2>&1 &
host=$!
pids+=("$host")
host_start=$(date +%s)
for _ in $(seq 100); do
  grep -q "started on port" "$work/host.out" 2>/dev/null && break
  sleep 0.1
done
grep -q "started on port" "$work/host.out" || { echo "the host did not start:" >&2; cat "$work/host.out" >&2; exit 1; }

# Memory and load once a minute, from the host's start until it leaves.
(
  m=0
  while kill -0 "$host" 2>/dev/null; do
    sleep 60
    m=$((m + 1))
    r=$(rss_kb "$host")
    [ -n "$r" ] && echo "$m $r $(cut -d' ' -f1 /proc/loadavg)" >>"$work/minutes.txt"
  done
) &
pids+=($!)

client_pids=()
for i in $(seq 0 $((clients - 1))); do
  # Areas side by side in two rows, each overlapping its neighbours a little.
  x=$((100 + (i % 4) * 350))
  y=$((150 + (i / 4) * 850))
  "$peer" --join 127.0.0.1 --port "$port" --name "c$i" --seed $((2 + i)) --area "$x" "$y" 400 400 \
    --pace "$paint_ms" --deadline-ms "$deadline_ms" --out "$work/c$i.txt" >"$work/c$i.out" 2>&1 &
  client_pids+=($!)
  pids+=($!)
done

# The hostile peer comes once the others are in, and leaves when the painting ends.
for _ in $(seq 1200); do
  [ "$(cat "$work"/c*.out 2>/dev/null | grep -c 'ready after')" -ge "$clients" ] && break
  sleep 0.1
done
hostile_s=$((minutes * 60 - ($(date +%s) - host_start)))
[ "$hostile_s" -lt 1 ] && hostile_s=1
"$attack" --port "$port" --seconds "$hostile_s" --rotate 30 >"$work/hostile.out" 2>&1 &
hostile=$!
pids+=("$hostile")

status=0
wait "$hostile" || true
host_code=0
wait "$host" || host_code=$?
end_rss=""
converged=0
for i in $(seq 0 $((clients - 1))); do
  code=0
  wait "${client_pids[$i]}" || code=$?
  if [ "$code" = 0 ] && [ -s "$work/c$i.txt" ] && [ -s "$work/host.txt" ] &&
    diff -q <(grep '^crc ' "$work/host.txt") <(grep '^crc ' "$work/c$i.txt") >/dev/null; then
    converged=$((converged + 1))
  else
    echo "client c$i did not converge (exit $code): $(tail -n 1 "$work/c$i.out")"
    status=1
  fi
done
if [ "$host_code" != 0 ]; then
  echo "the host failed (exit $host_code): $(tail -n 1 "$work/host.out")"
  status=1
fi

figure() { awk -v k="$1" '$1 == k {print $2}' "$work/hostile.out"; }
echo "host RSS by minute (MB):" $(awk '{printf "%.1f ", $2 / 1024}' "$work/minutes.txt")
awk 'NR == 1 {first = $2} NR > 1 && $2 > max {max = $2} END {
  if (NR < 2) print "RSS growth after minute 1: not enough samples";
  else printf "RSS growth after minute 1: %+.1f%% (largest %.1f MB against %.1f MB at minute 1)\n",
    (max - first) * 100 / first, max / 1024, first / 1024 }' "$work/minutes.txt"
echo "host's $(grep -o 'longest engine step .*' "$work/host.out" | tail -n 1)"
echo "longest engine step by minute (ms):" \
  $(grep -o 'minute [0-9]*: longest engine step [0-9.]*' "$work/host.out" | awk '{print $NF}')
echo "most CPU in one engine step by minute (ms):" \
  $(grep -o 'minute [0-9]*: .*most CPU in a step [0-9.]*' "$work/host.out" | awk '{print $NF}')
echo "well-behaved clients converged: $converged of $clients"
echo "hostile peer: $(figure rotate_turns) turns, $(figure attacker_connects) connections," \
  "dropped $(figure attacker_drops) times" \
  "(random $(figure rotate_random_drops), tiny $(figure rotate_tiny_drops), chat $(figure rotate_chat_flood_drops)," \
  "draw $(figure rotate_draw_drops), stalled $(figure rotate_stalled_drops))"
echo "on the host: $(host_count 'Client joined from') connections ($(($(host_count 'Client joined from') - clients)) beyond the $clients clients)," \
  "$(host_count 'KivServer Dropped ') drops; excess refused: $(host_count 'Dropping excess DRAW') DRAW," \
  "$(host_count 'Dropping excess CHAT') CHAT, $(host_count 'Dropping excess sync') sync messages;" \
  "$(grep -o 'Skipped [0-9]* chat lines' "$work/host.out" | awk '{s += $2} END {print s + 0}') chat lines skipped" \
  "to readers that stalled; standard output $(($(stat -c %s "$work/host.out") / 1024)) KB"
echo "load average by minute:" $(awk '{print $3}' "$work/minutes.txt")
exit "$status"
