#!/usr/bin/env bash
# Runs a listening helper under a minute (SOAK_SECONDS) of real key traffic
# on a private X server and prints its resident memory and open descriptors
# every few seconds, with the number of events it reported.
# Usage: bench/listener_soak.sh [path/to/NimbalGlimraHelper]
set -euo pipefail
cd "$(dirname "$0")/.."

helper=${1:-build/release/src/NimbalGlimraHelper}
seconds=${SOAK_SECONDS:-60}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

"$helper" --voice-chords >"$work/events" 2>"$work/stderr" &
helper_pid=$!
pids+=("$helper_pid")
for _ in $(seq 100); do [[ -s "$work/events" ]] && break; sleep 0.1; done

sample() {
  local rss fds events
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$helper_pid/status")
  fds=$(ls "/proc/$helper_pid/fd" | wc -l)
  events=$(wc -l <"$work/events")
  printf '%5ss  rss %6s kB  fds %3s  events %6s\n' "$1" "$rss" "$fds" "$events"
}

sample 0
start=$SECONDS
next_sample=5
while ((SECONDS - start < seconds)); do
  # One chord, one cancelled chord and plain typing per round.
  xdotool keydown Control_L keydown Shift_R keyup Shift_R keyup Control_L \
    keydown Super_L key a keyup Super_L type --delay 1 "soak" 2>/dev/null
  if ((SECONDS - start >= next_sample)); then
    sample $((SECONDS - start))
    next_sample=$((next_sample + 5))
  fi
done
sample $((SECONDS - start))
echo "voiceChord events: $(grep -c voiceChord "$work/events"), other lines: $(grep -vc voiceChord "$work/events"), stderr bytes: $(wc -c <"$work/stderr")"
