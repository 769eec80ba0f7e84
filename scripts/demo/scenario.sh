#!/usr/bin/env bash
# The main job, end to end, as a user sees it: a simulated QQ2010 installation, Kestova
# installed beside it, QQ started and ended six times, the backups landing in the slots, the
# tray menu, and the exit. Runs in a private Wine prefix on a private Xvfb display, inside
# a Wine virtual desktop (so the taskbar and its tray are drawn), and checks every step.
#
# Usage: scripts/demo/scenario.sh [--quick] OUT_DIR
#   OUT_DIR receives the Wine prefix, the generated chat data and the screenshots
#   (OUT_DIR/screenshots). --quick leaves out the waits that only a watching person needs
#   (the balloons on screen); the end-to-end test runs it so.
# Needs the build that makes the installer (KESTOVA_ARCH, i686 unless set, under
# KESTOVA_BUILD_DIR, default ./build): its installer, which carries the 32-bit programs,
# and its demonstration helpers. Exit status 0 only when every check passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi
[ $# -eq 1 ] || { echo "usage: $0 [--quick] OUT_DIR" >&2; exit 2; }
out=$(mkdir -p "$1" && cd "$1" && pwd)
arch=${KESTOVA_ARCH:-i686}
testbin=$build/$arch/testbin
setup=$(ls "$build/$arch"/installer/Kestova-Setup-*.exe 2>/dev/null | head -n1 || true)
setup=${setup:-$build/$arch/installer/Kestova-Setup-VERSION.exe}
shots=$out/screenshots
CONVERT=/usr/bin/convert # a stand-in named convert may sit earlier on PATH

for f in "$setup" "$testbin/QQ.exe" "$testbin/DemoCtl.exe"; do
  [ -f "$f" ] || { echo "missing $f: build first (scripts/build.sh)" >&2; exit 2; }
done

# A prepared prefix is shared with the test runs; each scenario copies it afresh, so the
# program folder and the store always start clean.
export KESTOVA_WINE_TEMPLATE=${KESTOVA_WINE_TEMPLATE:-$build/wine-template}
. "$root/scripts/wine-env.sh"
. "$root/scripts/demo/chat-client.sh"
. "$root/scripts/lib/common.sh"

# ---------------------------------------------------------------------------- reporting
started_ns=$(date +%s%N)
step() { printf '\n[%s] %s\n' "$1" "$2"; }
say() { printf '    %s\n' "$*"; }
elapsed() { local t=$((($(date +%s%N) - started_ns) / 100000000)); echo "$((t / 10)).$((t % 10))"; }

# ---------------------------------------------------------------------------- Wine side
# Wine's explorer draws a taskbar with the tray only on the virtual desktop named "shell"
# (other names need a registry switch).
desktop=shell
hold_event=KestovaDemoDesktop
qq_event=KestovaDemoQQ
drive_c() { echo "$WINEPREFIX/drive_c"; }
wine_run() { "$WINE64" "$@" </dev/null; }
CTL_WIN='C:\KestovaDemo\DemoCtl.exe'
CTL_OUTPUT=$out/ctl.txt

desktop_pid=""
frames_pid=""
run_pid=""
qq_pid=""
cleanup() {
  set +e
  [ -n "$frames_pid" ] && kill "$frames_pid" 2>/dev/null
  [ -n "$WINEPREFIX" ] && [ -f "$(drive_c)/KestovaDemo/DemoCtl.exe" ] &&
    "$WINE64" "$CTL_WIN" signal "$hold_event" </dev/null >/dev/null 2>&1
  wine_env_stop
  for p in $desktop_pid $run_pid $qq_pid; do wait "$p" 2>/dev/null; done
}
trap cleanup EXIT

# ---------------------------------------------------------------------------- screen side
# A capture can fail when a window goes away while X reads the screen (BadDrawable):
# such a capture is taken again.
shot() {
  local try
  for try in 1 2 3 4 5; do
    if xwd -root -silent -display "$DISPLAY" 2>/dev/null | "$CONVERT" xwd:- "$1" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  echo "screenshot failed: $1" >&2
  return 1
}
# The taskbar strip at the bottom of the 1024x768 desktop, and the area above it where
# balloons and the menu open.
TASKBAR_H=20
# Wine's taskbar lays the Start button and the window buttons out from the left and the
# notification area (20-pixel cells) from the right. Unlike Windows, it also gives a
# button to every visible top-level window without an owner, tool windows included, so
# Kestova's hidden message window gets one there. The icon is looked for in the
# notification area only: the rightmost TRAY_W pixels, which the window buttons reach
# only when several of them are shown.
TRAY_W=100
TRAY_X=$((1024 - TRAY_W))
crop_tray() { "$CONVERT" "$1" -crop "${TRAY_W}x${TASKBAR_H}+${TRAY_X}+$((768 - TASKBAR_H))" +repage "$2"; }
# Number of pixels that differ between two images of the same size.
# (compare's own status says only whether they differ.)
pixels_differ() { { /usr/bin/compare -metric AE "$1" "$2" null: 2>&1 >/dev/null || true; } | cut -d' ' -f1; }
# Bounding box "W H X Y" of the pixels that differ between two images of the same size.
diff_box() {
  "$CONVERT" "$1" "$2" -compose difference -composite -threshold 0 -format '%@\n' info: |
    sed -E 's/^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$/\1 \2 \3 \4/'
}

# Waits (up to $3 seconds) until the notification area differs from the reference $1
# (when $2 is "differ") or equals it again ("same"). Leaves the last screenshot in $4.
wait_tray() {
  local ref=$1 want=$2 seconds=$3 last=$4 strip=$out/strip.png i n
  for i in $(seq $((seconds * 5))); do
    shot "$last"
    crop_tray "$last" "$strip"
    n=$(pixels_differ "$ref" "$strip")
    if [ "$want" = differ ] && [ "$n" -gt 20 ]; then return 0; fi
    if [ "$want" = same ] && [ "$n" -eq 0 ]; then return 0; fi
    sleep 0.2
  done
  return 1
}

# One value of the installed config.ini.
config_value() { ini_value "$app/config.ini" "$@"; }

# Balloon frames: a screenshot every 0.3 s while a backup runs (not in --quick).
start_frames() {
  [ $quick -eq 1 ] && return 0
  rm -rf "$out/frames" && mkdir -p "$out/frames"
  ( i=0; while :; do i=$((i + 1)); shot "$(printf '%s/frames/%04d.png' "$out" $i)"; sleep 0.3; done ) &
  frames_pid=$!
}
# Stops the frames and keeps one screenshot of each different balloon, as $1-N.png.
keep_balloon_frames() {
  [ $quick -eq 1 ] && return 0
  kill "$frames_pid" 2>/dev/null; wait "$frames_pid" 2>/dev/null || true
  local prefix=$1 last="" n=0 f sum
  for f in "$out"/frames/*.png; do
    [ -s "$f" ] || continue
    # The balloon opens above the tray, in the lower right quarter.
    sum=$("$CONVERT" "$f" -crop "512x$((384 - TASKBAR_H))+512+384" +repage rgb:- 2>/dev/null | md5sum | cut -c1-32)
    [ "$sum" = "$last" ] && continue
    last=$sum
    [ "$sum" = "$empty_balloon_sum" ] && continue
    n=$((n + 1))
    cp "$f" "$shots/$prefix-$n.png"
  done
  rm -rf "$out/frames"
  say "balloon screenshots: $n ($prefix-*.png)"
}

# One QQ session: start the stand-in, let Kestova see it, end it, and wait for the backup
# to be stamped into the expected slot ($1, described as $2); with $3, keeps the balloon
# screenshots as $3-N.png. Sets copy_delay_ms and copy_run_ms.
qq_start() {
  wine_run "$qq_win" "$qq_event" >/dev/null 2>&1 &
  qq_pid=$!
  ctl wait-process QQ.exe 20000 || fail "the QQ stand-in did not start"
}
qq_end_and_backup() {
  local slot=$1 label=$2 frames=${3:-} before metrics i stamp
  before=$(config_value "Target$slot" Ended)
  [ -z "$frames" ] || start_frames
  metrics=$(ctl end-qq "$qq_event" 60000) || fail "QQ stand-in did not end, or the copy tool did not run ($label)"
  wait "$qq_pid" 2>/dev/null || true
  qq_pid=""
  copy_delay_ms=$(sed -E 's/.*copy_start_delay_ms=([0-9]+).*/\1/' <<<"$metrics")
  copy_run_ms=$(sed -E 's/.*copy_run_ms=([0-9]+).*/\1/' <<<"$metrics")
  for i in $(seq 150); do
    stamp=$(config_value "Target$slot" Ended)
    [ -n "$stamp" ] && [ "$stamp" != "$before" ] && break
    sleep 0.2
  done
  [ -n "$stamp" ] && [ "$stamp" != "$before" ] || fail "no completion stamp for slot $slot ($label)"
  if [ -n "$frames" ]; then
    # Wine's tray opens a balloon 2 s after it is asked for (a newer request replaces it
    # before that); give the success balloon that time, and a watcher a moment to read it.
    [ $quick -eq 1 ] || sleep 4
    keep_balloon_frames "$frames"
  fi
  say "QQ ended -> copy tool started after $copy_delay_ms ms (client watch ticks every 200 ms)"
  say "$label: copy tool ran $copy_run_ms ms; slot $slot stamped \"$stamp\""
  timings+=("$label: copy tool start $copy_delay_ms ms after QQ ended, run $copy_run_ms ms")
}

same_tree() {
  diff -r "$1" "$2" >"$out/diff.txt" 2>&1 || { head -20 "$out/diff.txt" >&2; return 1; }
}
stamp_seconds() { date -d "$1" +%s 2>/dev/null; }

timings=()

# =============================================================================== run
step 0 "Private Wine prefix and X display"
# Every run starts clean. A run that was killed may have left its Wine server behind on
# the old prefix; end it before the prefix goes. Only what this script makes is removed,
# never OUT_DIR itself.
end_stale_wine_server "$out/env"
rm -rf "$out/env" "$shots" "$out/frames" "$out"/history-* \
  "$out/diff.txt" "$out/glyphs.txt" "$out/strip.png" "$out/tray-empty.png" "$out/ctl.txt"
mkdir -p "$shots"
wine_env_start "$out/env" >/dev/null
say "display $DISPLAY, prefix $WINEPREFIX"

app_win='C:\Kestova\App'
app=$(drive_c)/Kestova/App
store=$(drive_c)/Kestova/Backup_Data
# A Chinese user's folder, as on the users' machines: the client names it in its
# UserDataInfo.ini, which it writes in the ANSI code page (GBK).
data_win='C:\Users\张三\Documents\Tencent Files'
data="$(drive_c)/users/张三/Documents/Tencent Files"
qq_win='C:\Program Files (x86)\Tencent\QQ\Bin\QQ.exe'
mkdir -p "$(drive_c)/KestovaDemo"
cp "$testbin/DemoCtl.exe" "$(drive_c)/KestovaDemo/"

step 1 "Simulate a QQ2010 installation"
chat_client_install "$testbin/QQ.exe" "$data_win" || fail "the chat client's registry entries cannot be written"
[ "$CHAT_CLIENT_EXE" = "$qq_win" ] || fail "the QQ stand-in is not where the scenario starts it"
say "registry: PlatForm_Type_List\\3 TypeName=QQ2010, TypePath=$qq_win (32-bit view)"
say "$CHAT_CLIENT_INI (GBK): UserDataSavePath=$data_win"
say "chat history: $(python3 "$root/bench/gen-qq-tree.py" --demo "$data") in $data_win"
say "  e.g. $(cd "$data" && find . -path '*FileRecv*' -name '*.*' | sort | head -3 | tr '\n' ' ')"
cp -a "$data" "$out/history-1"

step 2 "Install Kestova with its installer, silently, into $app_win"
setup_win=$(windows_path "$setup")
# As a user types it: /D= comes last and is not quoted. No pipe for its output: a program
# it starts would hold the pipe open.
"$WINE64" "$CTL_WIN" exec "\"$setup_win\" /S /D=$app_win" </dev/null >/dev/null 2>&1 ||
  fail "the installer ended with status $?"
[ -f "$app/Kestova.exe" ] || fail "the installer did not install Kestova.exe into $app_win"
ok "$(basename "$setup") /S /D=$app_win ended with status 0"
say "$(cd "$app" && ls | tr '\n' ' ')"
printf '[AutoBackup]\r\nMode=NONE\r\nAutobackupAfterQQuit=1\r\nBackupAtuOnce=0\r\n' >"$app/config.ini"
say "config.ini: AutobackupAfterQQuit=1; store will be C:\\Kestova\\Backup_Data"

step 3 "Start the QQ stand-in, then Kestova.exe in a Wine virtual desktop"
if ! ctl glyphs >"$out/glyphs.txt" 2>&1; then cat "$out/glyphs.txt" >&2; fail "Chinese is not drawn as glyphs"; fi
ok "Chinese drawn as distinct glyphs: $(grep '^balloon' "$out/glyphs.txt")"
"$WINE64" explorer "/desktop=$desktop,1024x768" "$CTL_WIN" hold "$hold_event" </dev/null >/dev/null 2>&1 &
desktop_pid=$!
# An empty desktop first: its taskbar is the reference for the icon.
for i in $(seq 100); do
  shot "$shots/00-desktop.png"
  [ "$("$CONVERT" "$shots/00-desktop.png" -crop 1x1+1000+760 -format '%[fx:mean]' info:)" != 0 ] && break
  sleep 0.2
done
crop_tray "$shots/00-desktop.png" "$out/tray-empty.png"
empty_balloon_sum=$("$CONVERT" "$shots/00-desktop.png" -crop "512x$((384 - TASKBAR_H))+512+384" +repage rgb:- | md5sum | cut -c1-32)
qq_start
say "QQ.exe running"
"$WINE64" "$CTL_WIN" run "$desktop" 'C:\KestovaDemo\status.txt' "$app_win\\Kestova.exe" </dev/null >/dev/null 2>&1 &
run_pid=$!
wait_tray "$out/tray-empty.png" differ 20 "$shots/01-started.png" || fail "no tray icon appeared"
read -r icon_w icon_h icon_x icon_y < <(diff_box "$out/tray-empty.png" "$out/strip.png")
icon_cx=$((TRAY_X + icon_x + icon_w / 2)); icon_cy=$((768 - TASKBAR_H + icon_y + icon_h / 2))
ok "tray icon drawn: ${icon_w}x${icon_h} at ($icon_cx,$icon_cy)"
[ "$icon_w" -le 20 ] && [ "$icon_h" -le 20 ] || fail "the notification area changed by more than one icon (${icon_w}x${icon_h})"

step 4 "Start balloon"
if [ $quick -eq 0 ]; then
  # Wine's tray opens a balloon a moment after it is asked for.
  for i in $(seq 25); do
    shot "$shots/02-start-balloon.png"
    sum=$("$CONVERT" "$shots/02-start-balloon.png" -crop "512x$((384 - TASKBAR_H))+512+384" +repage rgb:- | md5sum | cut -c1-32)
    [ "$sum" != "$empty_balloon_sum" ] && break
    sleep 0.2
  done
  say "screenshot: 02-start-balloon.png (QQ聊天记录自动备份已经启动)"
  sleep 3
fi

step 5 "End QQ: the backup after QQ exits"
# The client watch ticks every 200 ms; a second lets Kestova see QQ running.
sleep 1
qq_end_and_backup 1 "backup 1 (full, into slot 1)" 03-backup-1
same_tree "$data" "$store/1" || fail "slot 1 differs from the chat history"
ok "slot 1 equals the chat history ($(find "$store/1" -type f | wc -l) files, $(du -sh "$store/1" | cut -f1))"
stamp1=$(config_value Target1 Ended)
ok "config.ini [Target1] Ended=$stamp1"
for n in 2 3 4 5; do
  [ -z "$(ls -A "$store/$n")" ] || fail "slot $n is not empty after the first run"
  [ -z "$(config_value "Target$n" Ended)" ] || fail "slot $n has a stamp after the first run"
done
ok "slots 2 to 5 empty and unstamped"
say "logs.txt (tail):"
tr -d '\r' <"$app/logs.txt" | tail -n 6 | sed 's/^/      | /'

step 6 "Change a few files, start and end QQ again"
python3 "$root/bench/gen-qq-tree.py" --change "$data" | sed 's/^/    changed: /'
cp -a "$data" "$out/history-2"
qq_start
say "QQ.exe running again"
sleep 1 # five client-watch ticks, as above
# The oldest slot is the next: slot 2, still empty, so this run is a full one too.
qq_end_and_backup 2 "backup 2 (full, into the empty slot 2)" 04-backup-2
same_tree "$data" "$store/2" || fail "slot 2 differs from the changed chat history"
ok "slot 2 equals the changed chat history"
same_tree "$out/history-1" "$store/1" || fail "slot 1 changed by the second run"
ok "slot 1 still holds the first generation"
stamp2=$(config_value Target2 Ended)
[ "$(config_value Target1 Ended)" = "$stamp1" ] || fail "slot 1's stamp changed"
s1=$(stamp_seconds "$stamp1") && s2=$(stamp_seconds "$stamp2") || fail "stamps are not dates: '$stamp1' '$stamp2'"
[ "$s2" -ge "$s1" ] || fail "slot 2's stamp is older than slot 1's"
ok "stamps in rotation order: [Target1] $stamp1, [Target2] $stamp2"

say "Three more QQ sessions fill slots 3 to 5 (full runs into empty slots)..."
for n in 3 4 5; do
  python3 "$root/bench/gen-qq-tree.py" --change "$data" >/dev/null
  qq_start
  sleep 1
  qq_end_and_backup "$n" "backup $n (full, into the empty slot $n)"
  same_tree "$data" "$store/$n" || fail "slot $n differs from the chat history"
done
ok "slots 3 to 5 each equal the chat history of their session"

say "The sixth session: every slot is stamped, so the oldest, slot 1, is refreshed in place"
python3 "$root/bench/gen-qq-tree.py" --change "$data" | sed 's/^/    changed: /'
for n in 2 3 4 5; do stamps_before[$n]=$(config_value "Target$n" Ended); done
qq_start
sleep 1
qq_end_and_backup 1 "backup 6 (incremental, into slot 1)" 05-backup-6
same_tree "$data" "$store/1" || fail "slot 1 differs from the chat history after the sixth run"
ok "slot 1 equals the chat history again"
same_tree "$out/history-2" "$store/2" || fail "slot 2 changed by the sixth run"
for n in 2 3 4 5; do
  [ "$(config_value "Target$n" Ended)" = "${stamps_before[$n]}" ] || fail "slot $n's stamp changed in the sixth run"
done
ok "slots 2 to 5 and their stamps untouched"
# The copy tool's summary line: "Files : Total Copied Skipped Mismatch FAILED Extras". An
# incremental run copies what changed and skips the rest.
read -r f_total f_copied f_skipped _ < <(tr -d '\r' <"$app/logs.txt" | grep -E '^ *Files :' | tail -n 1 | sed -E 's/^ *Files : *//')
[ "${f_skipped:-0}" -gt 0 ] && [ "$f_copied" -lt "$f_total" ] || fail "the sixth run was not incremental (files: $f_total total, $f_copied copied)"
ok "the sixth run was incremental: $f_copied of $f_total files copied, $f_skipped unchanged ones skipped"
prev=0
for n in 2 3 4 5 1; do
  t=$(stamp_seconds "$(config_value "Target$n" Ended)") || fail "[Target$n] Ended is not a date"
  [ "$t" -ge "$prev" ] || fail "stamps out of rotation order at slot $n"
  prev=$t
done
ok "stamps in rotation order: slot 2, 3, 4, 5, then 1 newest ([Target1] Ended=$(config_value Target1 Ended))"
say "logs.txt (tail):"
tr -d '\r' <"$app/logs.txt" | tail -n 6 | sed 's/^/      | /'

step 7 "Right-click the tray icon: the menu"
xdotool mousemove --sync "$icon_cx" "$icon_cy" click 3
read -r m_left m_top m_right m_bottom < <(ctl menu-rect "$desktop" 10000) || fail "no menu opened"
# Point at the first item, as a user would; this also moves the pointer off the icon, whose
# tooltip would otherwise cover the menu.
xdotool mousemove --sync $(((m_left + m_right) / 2)) $((m_top + 12))
[ $quick -eq 1 ] || sleep 0.5
shot "$shots/06-menu.png"
ok "menu open at ($m_left,$m_top)-($m_right,$m_bottom): 立即备份(&B) 还原(&R) 选项(&O) 退出(&E)"

step 8 "Quit with the menu's 退出(&E)"
# The last item; the menu's frame is a few pixels thick.
xdotool mousemove --sync $(((m_left + m_right) / 2)) $((m_bottom - 10)) click 1
for i in $(seq 100); do [ -s "$(drive_c)/KestovaDemo/status.txt" ] && break; sleep 0.2; done
status=$(tr -d '\r\n' <"$(drive_c)/KestovaDemo/status.txt" 2>/dev/null || true)
[ -n "$status" ] || fail "Kestova.exe did not end after 退出(&E)"
[ "$status" = 0 ] || fail "Kestova.exe ended with status $status"
ok "Kestova.exe ended with exit status 0"
wait_tray "$out/tray-empty.png" same 10 "$shots/07-after-exit.png" || fail "the tray icon is still drawn"
ok "tray icon gone"
wait "$run_pid" 2>/dev/null || true
run_pid=""

printf '\nAll %d checks passed in %s s.\n' "$checks" "$(elapsed)"
say "Kestova was installed by $(basename "$setup") into $app_win; its backups are in C:\\Kestova\\Backup_Data"
for t in "${timings[@]}"; do say "$t"; done
say "screenshots: $shots"
