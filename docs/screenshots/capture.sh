#!/bin/bash
# Takes the README's pictures of the desktop windows:
#   xvfb-run -a -s "-screen 0 1024x700x24" docs/screenshots/capture.sh build-qt/tarnwick docs/screenshots
# Needs openbox (window frames), xdotool and imagemagick. Every server is on loopback.
set -u
exe=$(realpath "$1"); out=$(realpath "$2"); here=$(dirname "$(realpath "$0")")
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
openbox >/dev/null 2>&1 &
wm=$!
sleep 1
start() {
  export XDG_CONFIG_HOME=$(mktemp -d -p "$tmp")
  work=$(mktemp -d -p "$tmp")
  (cd "$work" && exec "$exe" "$@" </dev/null >>"$tmp/run.log" 2>&1) &
  pid=$!
}
stop() { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; sleep 0.3; }
win() { xdotool search --name "$1" | tail -1; }
snapwin() { local w; w=$(win "$2"); [ -n "$w" ] && import -frame -window "$w" "$out/$1.png"; }
snapmenu() { import -window root "$tmp/root.png" && convert "$tmp/root.png" -trim +repage "$out/$1.png"; }

python3 "$here/pictures_server.py" "$tmp/port" &
srv=$!
sleep 0.5
port=$(cat "$tmp/port")

start /CONFIG; sleep 2; snapwin config "Configure Tarnwick"; stop

start /DROP; sleep 2; snapwin drop "Link Drop"
xdotool key --clearmodifiers Menu; sleep 0.7; snapmenu drop-menu
xdotool key Up Return; sleep 1.5; snapwin about "About Tarnwick"; xdotool key Escape; sleep 0.5
xdotool key --clearmodifiers Menu; sleep 0.5; xdotool key u; sleep 1; snapwin enter-url "Enter URL"
xdotool key Escape; sleep 0.5; stop

# A closed port: the connect fails, the session pauses with its message.
start http://127.0.0.1:9/files/archive.zip; sleep 2.5; xdotool key Return; sleep 2
xdotool key Return; sleep 1; snapwin getting-file-paused "Downloaded by"; stop

start "http://127.0.0.1:$port/private/report.pdf"; sleep 2.5; xdotool key Return; sleep 2
xdotool type alice; xdotool key Tab; xdotool type secret; sleep 0.3; snapwin password "Username"
xdotool key Escape; sleep 1; xdotool key Return; sleep 1; stop

start "http://127.0.0.1:$port/slow/release-2.4.zip"; sleep 2.5; xdotool key Return; sleep 4
snapwin getting-file "Downloaded by"
xdotool key --clearmodifiers Menu; sleep 0.7; xdotool key v; sleep 1.5; snapwin headers "Headers"; stop

start /RESUMEDLG; sleep 2; snapwin resume "Resume Downloads"; stop
kill "$srv" "$wm" 2>/dev/null
