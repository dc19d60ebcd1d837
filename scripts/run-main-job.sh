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
