# Sourced by the benchmarks that drive the headless tools (brelvin_peer and
# brelvin_attack) against a host.

# tools_dir [BUILD_DIR]: BUILD_DIR, or build/bench with the tools built
# (Release) in it when none is given.
tools_dir() {
  if [ -n "${1:-}" ]; then
    echo "$1"
    return
  fi
  local root dir
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  dir="$root/build/bench"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBRELVIN_TESTS=OFF >/dev/null
  cmake --build "$dir" -j2 --target brelvin_peer brelvin_attack >/dev/null
  echo "$dir"
}

# The resident memory of process PID in KB, nothing once it is gone.
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || true; }

# private_display WORK: takes the screen tests' lock on port 5050 (held on
# descriptor 9 until the script ends) and starts a private Xvfb of 1024 x 768;
# sets xvfb to its pid and display to its name. WORK is a scratch folder.
private_display() {
  exec 9>/tmp/brelvin-port5050.lock
  flock -w 900 9
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
  display=":$(cat "$1/display")"
}
