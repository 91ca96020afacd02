#!/usr/bin/env bash
# Hostile peers against a headless host (brelvin_peer --host). First a real
# client painting nonstop, which no budget may refuse. Then for each attack:
# the longest the host took to answer a well-behaved client's CRC queries (one
# a second), the growth of the host's resident memory and of its standard
# output, the host's CPU time per second of attack, and how often the host
# dropped the attacker. Then how long squatters of several kinds keep a
# newcomer out (from 127.0.0.2, one address other than the host's own, or
# from the host's own machine, 127.0.0.1; readers at 1 KB/s also on a painted
# canvas of a link-paced host, where each asks for megabytes) and when the
# host first dropped one of them, how long a well-behaved client
# takes to agree with the host again after lines the host painted unrelayed,
# and how long a link-paced client takes to join a 4000 x 4000 canvas while
# others keep the host's compressing busy. Last, a client (brelvin_peer
# --join) facing a hostile host (brelvin_attack --hostile-host): its longest
# engine step once ready (a frame waits that long, so 1000 / it is the frame
# rate at worst), its CPU time per second, and how its session ended.
#
#   bench/hostile_bench.sh [BUILD_DIR [PEER]]
#
# Without BUILD_DIR it builds the tools (Release) in build/bench. PEER is the
# brelvin_peer that hosts, and that joins the hostile hosts (default
# BUILD_DIR/brelvin_peer): an older build can face the same attacks. BRELVIN_BENCH_PORT sets the port (5071);
# BRELVIN_BENCH_ONLY=TEXT runs only the cases whose name holds TEXT.
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

# skip NAME: whether BRELVIN_BENCH_ONLY leaves this case out.
skip() { [ -n "${BRELVIN_BENCH_ONLY:-}" ] && [[ "$1" != *"$BRELVIN_BENCH_ONLY"* ]]; }

# More options for the host of the next cases (a painted canvas, link pacing).
host_extra=()

start_host() {
  "$peer" --host 1600 1600 --clients 99 --port "$port" --deadline-ms "$1" "${host_extra[@]}" >"$work/host.out" 2>&1 &
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

# The host's CPU time (user and system) in ms.
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) * 1000 / hz}' "/proc/$1/stat" 2>/dev/null || echo 0; }

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
  skip "$name" && return 0
  start_host $(((seconds + 30) * 1000))
  "$attack" --port "$port" --probe --seconds $((seconds + 5)) >"$work/probe.out" &
  local probe=$!
  sleep 2
  local rss0 out0 cpu0
  rss0=$(rss_kb "$host")
  out0=$(stat -c %s "$work/host.out")
  cpu0=$(cpu_ms "$host")
  sample_rss
  "$attack" --port "$port" --seconds "$seconds" "$@" >"$work/attack.out"
  local cpu1
  cpu1=$(cpu_ms "$host")
  wait "$probe" || true
  local rss1 out1
  rss1=$(cat "$work/rss.max")
  out1=$(stat -c %s "$work/host.out")
  stop_host
  printf "%-34s %9s %7s/%-7s %9.1f %12.1f %8s %9.0f\n" "$name" "$(figure probe_worst_ms "$work/probe.out")" \
    "$(figure probe_answered "$work/probe.out")" "$(figure probe_queries "$work/probe.out")" \
    "$(awk -v a="$rss1" -v b="$rss0" 'BEGIN {print (a - b) / 1024}')" \
    "$(awk -v a="$out1" -v b="$out0" 'BEGIN {print (a - b) / 1024}')" \
    "$(figure attacker_drops "$work/attack.out")" \
    "$(awk -v a="$cpu1" -v b="$cpu0" -v s="$seconds" 'BEGIN {print (a - b) / s}')"
  if [ "$(figure probe_session_ok "$work/probe.out")" != "1" ]; then
    echo "  the well-behaved client lost its session: $(grep probe_error "$work/probe.out" || true)"
  fi
}

# newcomer_case NAME ATTACK-OPTIONS...
newcomer_case() {
  local name="$1"
  shift
  skip "$name" && return 0
  start_host 120000
  "$attack" --port "$port" --probe --seconds 75 >"$work/probe.out" &
  local probe=$!
  sleep 2
  "$attack" --port "$port" --seconds 70 --newcomer 1000 "$@" >"$work/attack.out"
  wait "$probe" || true
  stop_host
  local wait_ms first
  wait_ms=$(figure newcomer_wait_ms "$work/attack.out")
  if [ "$wait_ms" = "-1" ]; then wait_ms="not admitted in 69 s"; else wait_ms="$wait_ms ms"; fi
  first=$(figure attacker_first_drop_ms "$work/attack.out")
  case "$first" in
    -1) first="never" ;;
    "") first="(not reported)" ;;
    *) first="at $first ms" ;;
  esac
  # The attackers that read slowly see their end only behind what they have
  # not read yet: the host's first reason tells.
  local why
  why=$(grep -o -m1 "Dropped [^ ]*: [a-zA-Z ]*" "$work/host.out" || true)
  printf "%-34s newcomer admitted after %s (an attacker first dropped %s, probe worst answer %s ms; %s)\n" \
    "$name" "$wait_ms" "$first" "$(figure probe_worst_ms "$work/probe.out")" "${why:-none dropped}"
}

# settle_case NAME SECONDS ATTACK-OPTIONS...: the probe in the attacking
# process; after the attack, how long until its copy agrees with the host's.
settle_case() {
  local name="$1" seconds="$2"
  shift 2
  skip "$name" && return 0
  start_host $(((seconds + 150) * 1000))
  "$attack" --port "$port" --probe --seconds "$seconds" --settle 120 "$@" >"$work/attack.out"
  stop_host
  local settle
  settle=$(figure probe_settle_ms "$work/attack.out")
  if [ "$settle" = "-1" ]; then settle="not within 120 s"; else settle="$settle ms"; fi
  printf "%-34s agreed again %s after the attack, %s repairs (attacker dropped %s times)\n" "$name" "$settle" \
    "$(figure probe_repairs_after_attack "$work/attack.out")" "$(figure attacker_drops "$work/attack.out")"
}

# deflate_case NAME ATTACK-OPTIONS...: a link-paced probe joins a prepainted
# 4000 x 4000 canvas (the host link-paced too) while the attack runs.
deflate_case() {
  local name="$1"
  shift
  skip "$name" && return 0
  "$peer" --host 4000 4000 --prepaint 3000 --clients 99 --port "$port" --bandwidth 10000000 \
    --deadline-ms 150000 >"$work/host.out" 2>&1 &
  host=$!
  for _ in $(seq 300); do
    grep -q "prepainted" "$work/host.out" 2>/dev/null && break
    sleep 0.1
  done
  if [ "$#" -gt 0 ]; then
    "$attack" --port "$port" --seconds 100 "$@" >"$work/attack.out" &
    local attacker=$!
    sleep 2
  fi
  local cpu0 begin
  cpu0=$(cpu_ms "$host")
  begin=$(date +%s%N)
  "$attack" --port "$port" --probe --bandwidth 10000000 --seconds 60 >"$work/probe.out"
  local cpu_per_s
  cpu_per_s=$(awk -v a="$(cpu_ms "$host")" -v b="$cpu0" -v t="$((($(date +%s%N) - begin) / 1000000))" \
    'BEGIN {print (t > 0 ? (a - b) * 1000 / t : 0)}')
  # The attacker dies of the kill: its status must not stop the bench (set -e).
  if [ "$#" -gt 0 ]; then
    kill "$attacker" 2>/dev/null || true
    wait "$attacker" 2>/dev/null || true
  fi
  stop_host
  local done_ms
  done_ms=$(figure probe_complete_ms "$work/probe.out")
  if [ "$done_ms" = "-1" ]; then done_ms="not within 60 s"; else done_ms="$done_ms ms"; fi
  printf "%-34s a link-paced client's first pass complete after %s (host CPU %.0f ms/s)\n" "$name" "$done_ms" \
    "$cpu_per_s"
}

# real_client_case SECONDS: a headless client painting a segment every tick
# with random brushes, as a person dragging without pause would; no budget
# may refuse it.
real_client_case() {
  local seconds="$1"
  skip "nonstop" && return 0
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

# hostile_host_case NAME SECONDS KIND: the client joins a host that floods it.
hostile_host_case() {
  local name="$1" seconds="$2" kind="$3"
  skip "$name" && return 0
  "$attack" --hostile-host "$kind" --port "$port" --seconds $((seconds + 3)) >"$work/hostile.out" 2>&1 &
  local hostile=$!
  sleep 0.5
  local begin
  begin=$(date +%s%N)
  "$peer" --join 127.0.0.1 --port "$port" --strokes 0 --deadline-ms $((seconds * 1000)) >"$work/client.out" 2>&1 &
  local client=$! cpu=0
  # The largest reading: an exited client not yet waited for reads 0.
  while kill -0 "$client" 2>/dev/null; do
    cpu=$(awk -v a="$cpu" -v b="$(cpu_ms "$client")" 'BEGIN {print (b > a ? b : a)}')
    sleep 0.1
  done
  wait "$client" || true
  local ran_ms
  ran_ms=$((($(date +%s%N) - begin) / 1000000))
  kill "$hostile" 2>/dev/null || true
  wait "$hostile" 2>/dev/null || true
  local step ended
  # An older peer may report only the whole run's longest step, or none.
  step=$(grep -o "longest engine step since ready [0-9.]*" "$work/client.out" | awk '{print $NF}' || true)
  [ -z "$step" ] && step=$(grep -o "longest engine step [0-9.]*" "$work/client.out" | tail -1 | awk '{print $NF}' || true)
  ended=$(grep -o "session failed: .*" "$work/client.out" | head -1 || true)
  [ -z "$ended" ] && ended="joined until the deadline"
  printf "%-34s %9s %9.0f %8.1f  %s
" "$name" "${step:-?}" \
    "$(awk -v c="$cpu" -v t="$ran_ms" 'BEGIN {print (t > 0 ? c * 1000 / t : 0)}')" \
    "$(awk -v t="$ran_ms" 'BEGIN {print t / 1000}')" "$ended"
}

echo "host: $peer"
printf "%-34s %9s %15s %9s %12s %8s %9s\n" "attack" "worst ms" "answered" "RSS +MB" "stdout +KB" "drops" "CPU ms/s"
real_client_case 20
attack_case "10 s of tiny bodies" 10 --tiny 1
attack_case "10 s of random bytes" 10 --random 1
attack_case "30 s of 60 KB CHAT, 6 not reading" 30 --chat-flood 1 --stalled 6
attack_case "10 s of the costliest DRAW" 10 --draw 1
attack_case "30 s of DRAW in 4.5 s pulses" 30 --pulse-draw 1
attack_case "10 s of 255-line CHAT in 20 bytes" 10 --terse-chat 1
attack_case "10 s of reconnects, new headers" 10 --log-churn 1
settle_case "10 s of DRAW to -INT32_MIN" 10 --int-min 1
newcomer_case "7 silent connections" --squat 7
newcomer_case "7 silent ones that come back" --squat 7 --squat-reconnect
newcomer_case "7 re-JOINing, one address" --joined-squat 7 --from 127.0.0.2
newcomer_case "7 re-JOINing, host's machine" --joined-squat 7
newcomer_case "7 reading 1 KB/s, host's machine" --slow-reader 7
# Their repairs are megabytes here: 255 segments of a painted canvas.
host_extra=(--prepaint 3000 --bandwidth 10000000)
newcomer_case "7 reading 1 KB/s, painted, link" --slow-reader 7
host_extra=()
deflate_case "no attack"
deflate_case "4 rotating repairs with churn" --deflate-churn 4

echo
printf "%-34s %9s %9s %8s  %s\n" "hostile host" "step ms" "CPU ms/s" "ran s" "the client's session"
hostile_host_case "20 s of repeated brush-3 DRAW" 20 draw
hostile_host_case "20 s of 10,000-entry FLSH" 20 flush
hostile_host_case "20 s of 255-line CHAT in 20 bytes" 20 chat
hostile_host_case "20 s of 255-segment zero repairs" 20 repair
