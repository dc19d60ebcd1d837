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
  for pid in "${background_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  true
}
trap stop_background EXIT

# Starts a private Xvfb, stopped on exit, and sets server_display to its
# display name. Xvfb picks a free display itself and writes its number to
# the given descriptor.
start_private_server() {
  local display_file
  display_file=$(mktemp)
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1600x1000x24 3>"$display_file" >/dev/null 2>&1 &
  background_pids+=($!)
  for _ in $(seq 100); do [[ -s "$display_file" ]] && break; sleep 0.1; done
  server_display=":$(head -n1 "$display_file")"
  rm -f "$display_file"
}

if [[ -z "${DISPLAY:-}" ]]; then
  start_private_server
  DISPLAY=$server_display
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
start_private_server
desktop=$server_display
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

# Applications for a file: a private set of XDG directories with two text
# editors (one the default) and a web browser that opens text too, so the
# developer's own associations stay out. GIO reads the file's type from the
# shared MIME database, linked in from the system.
echo
echo "# applications for a text file, from private desktop entries"
xdg=$(mktemp -d)
mkdir -p "$xdg/data/applications" "$xdg/config" "$xdg/config-dirs" "$xdg/home" "$xdg/mime-db"
for dir in $(tr ':' ' ' <<<"${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"); do
  if [[ -f "$dir/mime/mime.cache" ]]; then ln -s "$dir/mime" "$xdg/mime-db/mime"; break; fi
done
entry() {
  printf '[Desktop Entry]\nType=Application\nExec=/bin/true %%U\nName=%s\n%s' "$2" "${3:-}" \
    >"$xdg/data/applications/$1.desktop"
}
entry org.example.TextEditor "Text Editor"
entry org.example.CodeEditor "Code" "X-GNOME-FullName=Code Editor"$'\n'
entry org.example.WebBrowser "Web Browser"
cat >"$xdg/config/mimeapps.list" <<'LIST'
[Default Applications]
text/plain=org.example.CodeEditor.desktop
[Added Associations]
text/plain=org.example.TextEditor.desktop;org.example.CodeEditor.desktop;org.example.WebBrowser.desktop;
x-scheme-handler/https=org.example.WebBrowser.desktop;
LIST
echo "Agenda for Monday" >"$xdg/meeting notes.txt"
(
  export HOME="$xdg/home" XDG_DATA_HOME="$xdg/data" XDG_DATA_DIRS="$xdg/mime-db"
  export XDG_CONFIG_HOME="$xdg/config" XDG_CONFIG_DIRS="$xdg/config-dirs"
  unset XDG_CURRENT_DESKTOP
  echo "# gio's view of the same type:"
  gio mime text/plain | sed 's/^/#   /'
  show "the default editor first, the browser marked as one" --list-open-with --path "$xdg/meeting notes.txt"
  show "a file that does not exist: an empty list" --list-open-with --path "$xdg/missing.txt"
)
rm -rf "$xdg"

# The same on this machine's own desktop entries and associations.
show "the applications for this project's README, as this machine has them" \
  --list-open-with --path README.md

# The focused text target: a GTK form on a desktop of its own with a private
# session bus and the accessibility bus (the launcher from at-spi2-core,
# accessibility switched on), named by a private desktop entry. Everything
# of this section runs in one process group, stopped as a whole at the end.
echo
echo "# the focused text target on a private desktop with the accessibility bus"
focus_root=$(mktemp -d)
mkdir -p "$focus_root/data/applications" "$focus_root/home"
printf '[Desktop Entry]\nType=Application\nName=Notes\nExec=true\n' \
  >"$focus_root/data/applications/org.example.Notes.desktop"
printf '[Desktop Entry]\nType=Application\nName=Mail\nExec=true\n' \
  >"$focus_root/data/applications/org.example.Mail.desktop"
start_private_server
focus_desktop=$server_display
setsid bash -c '
  set -euo pipefail
  root=$1 helper=$2
  export DISPLAY=$3 HOME=$root/home GSETTINGS_BACKEND=memory
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$root/bus XDG_RUNTIME_DIR=$root
  unset AT_SPI_BUS_ADDRESS
  openbox >/dev/null 2>&1 &
  dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" >/dev/null 2>&1 &
  for _ in $(seq 100); do [[ -S $root/bus ]] && break; sleep 0.1; done
  /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 >/dev/null 2>&1 &
  sleep 1
  # Starts the form with the focus on one widget, and waits until the
  # accessibility tree says so.
  form() {
    /usr/bin/python3 tests/support/accessible_test_app.py --program-name "$1" --focus "$2" \
      >"$root/$1.out" 2>/dev/null &
    for _ in $(seq 200); do grep -q ready "$root/$1.out" 2>/dev/null && break; sleep 0.1; done
    echo $!
  }
  inspect() {
    echo "\$ NimbalGlimraHelper --focused-text-target $*"
    XDG_DATA_HOME=$root/data "$helper" --focused-text-target "$@"
  }
  notes=$(form org.example.Notes entry)
  echo "# Notes, with the focus in its entry"
  inspect
  form org.example.Mail button >/dev/null
  echo "# Mail, in front with the focus on a button"
  inspect
  echo "# Notes again, named by its process id: in the background nothing has the focus,"
  echo "# so its window is walked"
  inspect --pid "$notes"
  echo "# the same desktop, from a session without an accessibility bus"
  DBUS_SESSION_BUS_ADDRESS=unix:path=$root/none DISPLAY=$4 inspect
' focus-demo "$focus_root" "$PWD/$helper" "$focus_desktop" "$desktop" &
focus_group=$!
wait "$focus_group" || echo "# the focused-text-target demo failed"
kill -- "-$focus_group" 2>/dev/null || true
rm -rf "$focus_root"
