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

background_pids=()
stop_background() {
  for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  true
}
trap stop_background EXIT

# Starts a private Xvfb and prints its display name. Xvfb picks a free
# display itself and writes its number to the given descriptor.
start_private_server() {
  local display_file
  display_file=$(mktemp)
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1600x1000x24 3>"$display_file" >/dev/null 2>&1 &
  background_pids+=($!)
  for _ in $(seq 100); do [[ -s "$display_file" ]] && break; sleep 0.1; done
  echo ":$(head -n1 "$display_file")"
  rm -f "$display_file"
}

if [[ -z "${DISPLAY:-}" ]]; then
  DISPLAY=$(start_private_server)
  export DISPLAY
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

# The main job: a desktop of its own (private X server, openbox, one window),
# the helper watching it, and both Alt keys pressed together.
echo
echo "# capturing the frontmost window on a private desktop with openbox"
desktop=$(start_private_server)
HOME=$(mktemp -d) DISPLAY=$desktop openbox >/dev/null 2>&1 &
background_pids+=($!)
sleep 1
DISPLAY=$desktop xmessage -name notes -title "Meeting notes" -geometry 640x320+120+90 \
  "A window to capture: its frame and contents become a private PNG." 2>/dev/null &
background_pids+=($!)
sleep 1
DISPLAY=$desktop xdotool search --sync --name "Meeting notes" windowactivate --sync
captures=$(mktemp -d)/captures
echo "\$ NimbalGlimraHelper --watch --output-dir $captures --excluded-bundle-id org.example.Host"
events=$(mktemp)
(
  DISPLAY=$desktop "$helper" --watch --output-dir "$captures" --excluded-bundle-id org.example.Host \
    >"$events" 2>&1 &
  sleep 0.5
  DISPLAY=$desktop xdotool keydown Alt_L keydown Alt_R keyup Alt_R keyup Alt_L
  sleep 1
)
sleep 0.2
cat "$events"
echo "# on disk:"
ls -ld "$captures"
ls -l "$captures"
for png in "$captures"/*.png; do
  python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(33); print("# %s: PNG %dx%d" % ((sys.argv[1].rsplit("/",1)[1],)+struct.unpack(">II", d[16:24])))' "$png"
done
rm -f "$events"

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
