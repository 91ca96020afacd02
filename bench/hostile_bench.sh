#!/usr/bin/env bash
# Hostile peers against a headless host (brelvin_peer --host). First a real
# client painting nonstop, which no budget may refuse. Then for each attack:
# the longest the host took to answer a well-behaved client's CRC queries (one
# a second), the growth of the host's resident memory and of its standard
# output. Last, how long seven connections that never send a byte keep a
# newcomer out, once with squatters that give up when dropped and once with
# squatters that come straight back.
#
#   bench/hostile_bench.sh [BUILD_DIR [PEER]]
#
# Without BUILD_DIR it builds the tools (Release) in build/bench. PEER is the
# brelvin_peer that hosts (default BUILD_DIR/brelvin_peer): an older build can
# face the same attacks. BRELVIN_BENCH_PORT sets the port (5071).
set -euo pipefail
. "$(dirname "$0")/peer_tools.sh"
dir="$(tools_dir "${1:-}")"
peer="${2:-$dir/brelvin_peer}"
attack="$dir/brelvin_attack"
port="${BRELVIN_BENCH_PORT:-5071}"
work="$(mktemp -d)"
host=""
sampler=""
cleanup() {
  [ -n "$sampler" ] && kill "$sampler" 2>/dev/null || true
  [ -n "$host" ] && kill "$host" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

figure() { awk -v k="$1" '$1 == k {print $2}' "$2"; }

start_host() {
  "$peer" --host 1600 1600 --clients 99 --port "$port" --deadline-ms "$1" >"$work/host.out" 2>&1 &
  host=$!
  for _ in $(seq 100); do
    grep -q "started on port" "$work/host.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the host did not start:" >&2
  cat "$work/host.out" >&2
  exit 1
}

stop_host() {
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  sampler=""
  kill "$host" 2>/dev/null || true
  wait "$host" 2>/dev/null || true
  host=""
}

# Samples the host's resident memory every 100 ms; the largest goes to $work/rss.max.
sample_rss() {
  echo 0 >"$work/rss.max"
  (
    max=0
    while kill -0 "$host" 2>/dev/null; do
      now=$(rss_kb "$host")
      if [ "${now:-0}" -gt "$max" ]; then
        max=$now
        echo "$max" >"$work/rss.max"
      fi
      sleep 0.1
    done
  ) &
  sampler=$!
}

# attack_case NAME SECONDS ATTACK-OPTIONS...
attack_case() {
  local name="$1" seconds="$2"
  shift 2
  start_host $(((seconds + 30) * 1000))
  "$attack" --port "$port" --probe --seconds $((seconds + 5)) >"$work/probe.out" &
  local probe=$!
  sleep 2
  local rss0 out0
  rss0=$(rss_kb "$host")
  out0=$(stat -c %s "$work/host.out")
  sample_rss
  "$attack" --port "$port" --seconds "$seconds" "$@" >"$work/attack.out"
  wait "$probe" || true
  local rss1 out1
  rss1=$(cat "$work/rss.max")
  out1=$(stat -c %s "$work/host.out")
  stop_host
  printf "%-34s %9s %7s/%-7s %9.1f %12.1f %8s\n" "$name" "$(figure probe_worst_ms "$work/probe.out")" \
    "$(figure probe_answered "$work/probe.out")" "$(figure probe_queries "$work/probe.out")" \
    "$(awk -v a="$rss1" -v b="$rss0" 'BEGIN {print (a - b) / 1024}')" \
    "$(awk -v a="$out1" -v b="$out0" 'BEGIN {print (a - b) / 1024}')" \
    "$(figure attacker_drops "$work/attack.out")"
  if [ "$(figure probe_session_ok "$work/probe.out")" != "1" ]; then
    echo "  the well-behaved client lost its session: $(grep probe_error "$work/probe.out" || true)"
  fi
}

# newcomer_case NAME ATTACK-OPTIONS...
newcomer_case() {
  local name="$1"
  shift
  start_host 120000
  "$attack" --port "$port" --probe --seconds 75 >"$work/probe.out" &
  local probe=$!
  sleep 2
  "$attack" --port "$port" --seconds 70 --newcomer 1000 "$@" >"$work/attack.out"
  wait "$probe" || true
  stop_host
  local wait_ms
  wait_ms=$(figure newcomer_wait_ms "$work/attack.out")
  if [ "$wait_ms" = "-1" ]; then wait_ms="not admitted in 69 s"; else wait_ms="$wait_ms ms"; fi
  printf "%-34s newcomer admitted after %s (probe worst answer %s ms)\n" "$name" "$wait_ms" \
    "$(figure probe_worst_ms "$work/probe.out")"
}

# real_client_case SECONDS: a headless client painting a segment every tick
# with random brushes, as a person dragging without pause would; no budget
# may refuse it.
real_client_case() {
  local seconds="$1"
  start_host $(((seconds + 30) * 1000))
  "$attack" --port "$port" --probe --seconds $((seconds + 3)) >"$work/probe.out" &
  local probe=$!
  "$peer" --join 127.0.0.1 --port "$port" --paint-forever --deadline-ms $((seconds * 1000)) >"$work/client.out" 2>&1 || true
  wait "$probe" || true
  stop_host
  printf "%-34s %9s %7s/%-7s   budget lines on the host: %s\n" "${seconds} s of a client painting nonstop" \
    "$(figure probe_worst_ms "$work/probe.out")" "$(figure probe_answered "$work/probe.out")" \
    "$(figure probe_queries "$work/probe.out")" "$(grep -c -e 'Dropping excess' -e 'Dropped ' "$work/host.out" || true)"
}

echo "host: $peer"
printf "%-34s %9s %15s %9s %12s %8s\n" "attack" "worst ms" "answered" "RSS +MB" "stdout +KB" "drops"
real_client_case 20
attack_case "10 s of tiny bodies" 10 --tiny 1
attack_case "10 s of random bytes" 10 --random 1
attack_case "30 s of 60 KB CHAT, 6 not reading" 30 --chat-flood 1 --stalled 6
attack_case "10 s of the costliest DRAW" 10 --draw 1
newcomer_case "7 silent connections" --squat 7
newcomer_case "7 silent ones that come back" --squat 7 --squat-reconnect
