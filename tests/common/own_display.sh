#!/usr/bin/env bash
# Runs one command in an X display of its own (1024 x 768 x 24). Xvfb picks a
# free display number itself and writes it once it accepts connections
# (-displayfd), so screen tests started side by side, by this build folder or
# any other on the machine, never share a display or race for one number.
set -u
dir=$(mktemp -d /tmp/brelvin-display-XXXXXX) || exit 1
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/number" 2>"$dir/xvfb.log" &
xvfb=$!
cleanup() {
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# The number is written as one line; wait for its newline.
for _ in $(seq 1 300); do
  [ "$(wc -l <"$dir/number")" -ge 1 ] && break
  if ! kill -0 "$xvfb" 2>/dev/null; then
    echo "Xvfb did not start:" >&2
    cat "$dir/xvfb.log" >&2
    exit 1
  fi
  sleep 0.1
done
number=$(head -n 1 "$dir/number")
if [ -z "$number" ]; then
  echo "Xvfb gave no display number in 30 s" >&2
  exit 1
fi
DISPLAY=":$number" "$@"
