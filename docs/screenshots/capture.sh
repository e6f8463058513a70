#!/bin/bash
# Takes the README's pictures of the desktop windows:
#   xvfb-run -a -s "-screen 0 1280x800x24" docs/screenshots/capture.sh build/tarnwick docs/screenshots
# Needs openbox (window frames), xdotool and imagemagick. Every server is on loopback.
set -u
exe=$(realpath "$1"); out=$(realpath "$2"); here=$(dirname "$(realpath "$0")")
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
openbox >/dev/null 2>&1 &
wm=$!
sleep 1

# A new user's home: a download folder, and settings made fresh for each picture.
export HOME="$tmp/home"
mkdir -p "$HOME/Downloads" "$HOME/.config"
printf 'XDG_DOWNLOAD_DIR="$HOME/Downloads"\n' >"$HOME/.config/user-dirs.dirs"
fresh() { export XDG_CONFIG_HOME=$(mktemp -d -p "$tmp"); cp "$HOME/.config/user-dirs.dirs" "$XDG_CONFIG_HOME/"; }
start() {
  (cd "$HOME" && exec "$exe" "$@" </dev/null >>"$tmp/run.log" 2>&1) &
  pid=$!
}
# Ends the processes behind the program's windows (started by hand-off, so not our children).
stopall() {
  local w p
  for w in $(xdotool search --class tarnwick 2>/dev/null); do
    p=$(xdotool getwindowpid "$w" 2>/dev/null) && [ "$p" -gt 1 ] && kill "$p" 2>/dev/null
  done
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; sleep 0.5
}
win() { xdotool search --name "$1" | tail -1; }
snapwin() { local w; w=$(win "$2"); [ -n "$w" ] && import -frame -window "$w" "$out/$1.png"; }
# The session window of a queue slot, told apart by its process's command line.
snapslot() {
  local w p
  for w in $(xdotool search --name "Downloaded by|Getting File"); do
    p=$(xdotool getwindowpid "$w" 2>/dev/null) || continue
    tr '\0' ' ' <"/proc/$p/cmdline" | grep -q "#$2" || continue
    xdotool windowactivate --sync "$w" 2>/dev/null; sleep 0.7
    import -frame -window "$w" "$out/$1.png"
    return
  done
}
snaproot() { import -window root "$tmp/root.png" && convert "$tmp/root.png" -trim +repage "$out/$1.png"; }
# Queue entries as earlier sessions would have left them: slot, URL path, file, bytes on disk.
queue() {
  python3 - "$XDG_CONFIG_HOME/Quillfern/tarnwick/settings.db" "$port" "$HOME/Downloads" "$@" <<'PY'
import os, sqlite3, sys, urllib.parse
db, port, folder, entries = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
os.makedirs(os.path.dirname(db), exist_ok=True)
c = sqlite3.connect(db)
c.execute("CREATE TABLE IF NOT EXISTS profile(section TEXT NOT NULL, name TEXT NOT NULL, value, PRIMARY KEY(section, name))")
for e in entries:
    slot, path, start = e.split(",")
    local = os.path.join(folder, urllib.parse.unquote(os.path.basename(path)))
    with open(local, "wb") as f:
        f.truncate(int(start))
    rows = {"Get": f"http://127.0.0.1:{port}{path}", "Local": local, "Start": int(start),
            "LastMod": "Mon, 01 Dec 2025 10:00:00 GMT"}
    for k, v in rows.items():
        c.execute("INSERT OR REPLACE INTO profile VALUES('FileQueue', ?, ?)", (k + slot, v))
c.commit()
PY
}

python3 "$here/pictures_server.py" "$tmp/port" &
srv=$!
sleep 0.5
port=$(cat "$tmp/port")

fresh; start /CONFIG; sleep 2; snapwin config "Configure Tarnwick"; stopall

fresh; start /DROP; sleep 2; snapwin drop "Link Drop"
xdotool key --clearmodifiers Menu; sleep 0.7; snaproot drop-menu
xdotool key Escape; sleep 0.3
xdotool key --clearmodifiers Menu; sleep 0.5; xdotool key h; sleep 1.5; snapwin help "Tarnwick Help"
xdotool key Escape; sleep 0.5
xdotool key --clearmodifiers Menu; sleep 0.5; xdotool key Up Return; sleep 1.5; snapwin about "About Tarnwick"
xdotool key Escape; sleep 0.5
xdotool key --clearmodifiers Menu; sleep 0.5; xdotool key u; sleep 1; snapwin enter-url "Enter URL"
xdotool key Escape; sleep 0.5; stopall

# A closed port: the connect fails with a message box, and the session pauses.
fresh; start http://127.0.0.1:9/files/archive.zip; sleep 2.5; snapwin save-as "Save As"; xdotool key Return; sleep 2
snapwin message-box "^tarnwick$"; xdotool key Return; sleep 1; snapwin getting-file-paused "Downloaded by"; stopall

fresh; start "http://127.0.0.1:$port/private/report.pdf"; sleep 2.5; xdotool key Return; sleep 2
xdotool type alice; xdotool key Tab; xdotool type secret; sleep 0.3; snapwin password "Username"
xdotool key Escape; sleep 1; xdotool key Return; sleep 1; stopall

# Several queued downloads: the list, then all of them resumed at once, side by side.
fresh
queue 03,/slow/debian-12.5.0-amd64-netinst.iso,157286400 11,/slow/photos-2025-summer-holiday.tar,48234496 \
      17,/broken/release-2.4.zip,2097152 42,/slow/Conference%20talk%20recording.mp4,0
start /RESUMEDLG; sleep 2; snapwin resume "Resume Downloads"; stopall
start /RESUME; sleep 6
snaproot cascade
snapslot getting-file 03
snapslot getting-file-broken 17
xdotool key --clearmodifiers Menu; sleep 0.7; xdotool key v; sleep 1.5; snapwin headers "Headers"
stopall
# Downloads: a dozen at once, most receiving, one paused, two failed (each with why), two
# queued, most waiting for their turn, and two that finish while the window is open.
fresh
queue 20,/slow/backup-2025-11.tar,209715200 21,/slow/Season%202%20Episode%203.mkv,31457280
lines=()
line() { (cd "$HOME" && DISPLAY= exec "$exe" "$@" </dev/null >>"$tmp/run.log" 2>&1) & lines+=($!); }
line -o Downloads/old-release.zip "http://127.0.0.1:$port/missing/old-release.zip"
line -o Downloads/mirror-sync.iso http://127.0.0.1:9/mirror-sync.iso
sleep 2
for f in debian-12.5.0-amd64-netinst.iso photos-2025-summer.tar kernel-6.12.tar.xz dataset-part1.parquet \
         talk-recording.mp4 firmware-v3.bin libreoffice-24.8.deb; do
  line -o "Downloads/$f" "http://127.0.0.1:$port/slow/$f"
done
start -o Downloads/paused-later.img "http://127.0.0.1:$port/slow/paused-later.img"
sleep 3
"$exe" --pause "$("$exe" --list --json | python3 -c 'import json,sys; print([r["slot"] for r in json.load(sys.stdin) if r["file"].endswith("paused-later.img")][0])')"
start /LIST; sleep 2
line -o Downloads/README.txt "http://127.0.0.1:$port/quick/README.txt"
line -o Downloads/checksums.sha256 "http://127.0.0.1:$port/quick/checksums.sha256"
sleep 5; snapwin overview "^Downloads$"
stopall; kill "${lines[@]}" 2>/dev/null
kill "$srv" "$wm" 2>/dev/null
