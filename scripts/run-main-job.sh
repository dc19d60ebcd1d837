#!/usr/bin/env bash
# Builds the helper and shows what it does on this machine, as a host
# application would see it: the NDJSON lines and the exit status of each run.
# Without a display it starts a private X server for the runs and stops it
# afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build/main -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLIMRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/main --target NimbalGlimraHelper >/dev/null
helper=build/main/src/NimbalGlimraHelper

xvfb_pid=""
stop_server() { [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null; true; }
trap stop_server EXIT

if [[ -z "${DISPLAY:-}" ]]; then
  # Xvfb picks a free display itself and writes its number to the given fd.
  display_file=$(mktemp)
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1600x1000x24 3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [[ -s "$display_file" ]] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$display_file")"
  rm -f "$display_file"
  echo "# started a private X server on $DISPLAY"
fi

show() {
  echo
  echo "# $1"
  shift
  echo "\$ NimbalGlimraHelper $*"
  local status=0
  "$helper" "$@" || status=$?
  echo "# exit status $status"
}

show "the permissions, checked without asking" --check-permissions
show "the permissions, requested (an X11 desktop has no prompt)" --request-permissions
DISPLAY= show "the permissions without any display" --check-permissions
show "a command-line failure: one error event, status 64" --watch --output-dir /tmp/glimra-captures

# A listening helper: its parent here is a subshell that types three chords
# on the display and then ends, and the helper ends with it.
echo
echo "# voice chords: Control+Super, a chord cancelled by a key press, Alt alone"
echo "\$ NimbalGlimraHelper --voice-chords"
events=$(mktemp)
(
  "$helper" --voice-chords >"$events" 2>&1 &
  echo "$!" >"$events.pid"
  sleep 0.5
  xdotool keydown Control_L keydown Super_L keyup Super_L keyup Control_L
  xdotool keydown Super_L key a keyup Super_L
  xdotool keydown Alt_L keyup Alt_L
  sleep 0.3
)
sleep 0.2
cat "$events"
# A helper that has ended may stay a zombie until its new parent reaps it.
state=$(ps -o stat= -p "$(cat "$events.pid")" 2>/dev/null || true)
if [[ -n "$state" && "$state" != Z* ]]; then
  echo "# the helper is still running after its parent ended"
else
  echo "# the helper ended with its parent"
fi
rm -f "$events" "$events.pid"
