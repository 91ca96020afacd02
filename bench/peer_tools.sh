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
