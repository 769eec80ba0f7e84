#!/usr/bin/env bash
# Black-box tests of the set-up program, Kestova-Setup-<version>.exe, under Wine. Each case
# runs in a fresh Wine prefix (a copy of the prepared one) with its own wine server and X
# display, as a user without administrator rights would meet it:
#
#   install    /S /D=folder: the program files, the autostart value, the Start menu
#              shortcuts, the uninstall entry; a drive's root is refused
#   logon      a default installation; a logon (wineboot, which starts the Run values) starts
#              Kestova, its window appears, and the missed daily backup lands in
#              Backup_Data beside the installed folder
#   finish-page  the wizard: the finish page's autostart box unticked removes the value, and
#              "立即启动 Kestova" starts it
#   upgrade    /S over an installation whose Kestova runs: program files replaced, settings,
#              stamps, log, the companion's file and the backups kept, Kestova running again
#   uninstall  the uninstall entry's QuietUninstallString: everything installed is gone,
#              the backups and config.ini stay, no Kestova process is left
#   remove-data  the uninstaller's pages with the box that removes the backups ticked:
#              Backup_Data, config.ini and the companion's file go too, nothing else
#   busy       /S while Kestova backs up (its copy tool held still): with a short /WAIT it
#              gives up and changes nothing; with the default wait it waits, the backup's
#              stamp is written, and Kestova runs again
#
# Usage: installer_test.sh CASE OUT_DIR
# Environment: KESTOVA_SETUP (the set-up program), KESTOVA_BIN_DIR (the programs it
# carries), KESTOVA_TEST_TOOLS (QQ.exe and DemoCtl.exe), KESTOVA_BUILD_DIR (for the
# prepared prefix, BUILD/wine-template, unless KESTOVA_WINE_TEMPLATE names one).
# Exit status 0 when every check passed. The prefix is removed after a passed case.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 CASE OUT_DIR" >&2; exit 2; }
case_name=$1
out=$(mkdir -p "$2" && cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}
setup=${KESTOVA_SETUP:?}
bin=${KESTOVA_BIN_DIR:?}
tools=${KESTOVA_TEST_TOOLS:?}

# Wine reads Unix file names in the locale's character set: the Chinese names need UTF-8.
case "${LC_ALL:-${LANG:-}}" in *UTF-8* | *utf8*) ;; *) export LC_ALL=C.UTF-8 ;; esac
export KESTOVA_WINE_TEMPLATE=${KESTOVA_WINE_TEMPLATE:-$build/wine-template}
. "$root/scripts/wine-env.sh"
. "$root/scripts/demo/chat-client.sh"
. "$root/scripts/lib/common.sh"

# A failure names what failed, with the end of what the Wine programs wrote: the prefix is
# kept for inspection, but a CI log shows only this.
reported=""
report_failure() {
  reported=1
  printf 'FAILED (%s): %s\n' "$case_name" "$*" >&2
  if [ -s "$out/wine.log" ]; then tail -n 20 "$out/wine.log" | sed 's/^/  wine.log: /' >&2; fi
}
# A command that fails without a check of its own (set -e) fails the case by name too.
trap 'fail "line $LINENO: \"$BASH_COMMAND\" ended with status $?"' ERR

RUNNER_CLASS=Kestova_Brannet_Msgwnd_Class
RUN_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
UNINSTALL_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestova'
version=$(basename "$setup" .exe)
version=${version#Kestova-Setup-}

# Wine programs get no standard input, and their output goes to files, never a pipe:
# a program they start (Kestova, the desktop process) inherits the handles and would keep
# a pipe open long after they end.
wine_status() { "$WINE64" "$@" </dev/null >>"$out/wine.log" 2>&1; }
CTL_WIN='C:\KestovaTest\DemoCtl.exe'
CTL_OUTPUT=$out/ctl.txt
CTL_LOG=$out/wine.log
# A registry value's data (a DWORD in decimal); status 1 when the value is missing. Read
# through reg export, which writes UTF-16: reg query prints in the console code page.
reg_value() {
  rm -f "$drive_c/KestovaTest/reg.reg"
  "$WINE64" reg export "$1" 'C:\KestovaTest\reg.reg' /y </dev/null >/dev/null 2>&1 || return 1
  iconv -f UTF-16 -t UTF-8 "$drive_c/KestovaTest/reg.reg" | tr -d '\r' | python3 -c '
import sys
name = sys.argv[1]
for line in sys.stdin:
    line = line.rstrip("\n")
    head = "\"%s\"=" % name
    if not line.startswith(head): continue
    data = line[len(head):]
    if data.startswith("dword:"): print(int(data[6:], 16))
    else: print(data[1:-1].replace("\\\\", "\x00").replace("\\\"", "\"").replace("\x00", "\\"))
    sys.exit(0)
sys.exit(1)' "$2"
}
reg_key_exists() { "$WINE64" reg query "$1" </dev/null >/dev/null 2>&1; }
# The UTF-16 texts in a file (a shortcut keeps its target, arguments and folder so), one a line.
utf16_texts() {
  python3 -c '
import re, sys
data = open(sys.argv[1], "rb").read()
for start in (0, 1):
    text = data[start:len(data) - (len(data) - start) % 2].decode("utf-16-le", "replace")
    for piece in re.split("[\x00-\x1f\ufffd]+", text):
        if len(piece) >= 4: print(piece)' "$1"
}
tree_sums() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r md5sum); }

copy_held=""
cleanup() {
  local status=$?
  set +e
  # set -e ends the case silently when a command inside a function fails.
  [ $status -eq 0 ] || [ -n "$reported" ] || report_failure "ended early with status $status"
  # A held copy tool would keep its Kestova waiting for good.
  [ -z "$copy_held" ] || ctl resume robocopy.exe >/dev/null
  wine_env_stop
}
trap cleanup EXIT

# ------------------------------------------------------------------------------ fixture
end_stale_wine_server "$out/env"
rm -rf "$out/env" "$out/wine.log" "$out/history"
wine_env_start "$out/env" >/dev/null
drive_c=$WINEPREFIX/drive_c
mkdir -p "$drive_c/KestovaTest"
cp "$tools/DemoCtl.exe" "$drive_c/KestovaTest/"
local_app_data=$("$WINE64" cmd /c echo %LOCALAPPDATA% </dev/null 2>/dev/null | tr -d '\r')
default_dir="$local_app_data\\Kestova\\App"
start_menu=$(unix_path "$("$WINE64" cmd /c echo %APPDATA% </dev/null 2>/dev/null | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs\\Kestova")

# Runs the set-up program with the given arguments, put on its command line as they are (as
# a user types them: /D= is never quoted); its exit status is the function's.
setup_win=$(windows_path "$setup")
run_setup() {
  local line="\"$setup_win\"" arg
  for arg in "$@"; do line+=" $arg"; done
  # Not through ctl: it may run in the background, beside ctl calls that read ctl.txt.
  "$WINE64" "$CTL_WIN" exec "$line" </dev/null >/dev/null 2>>"$out/wine.log"
}

# The chat client with a small history (or a large one).
chat_history=""
simulate_chat_client() { # [--large]
  chat_history="$drive_c/Tencent Files"
  chat_client_install "$tools/QQ.exe" 'C:\Tencent Files' || fail "cannot write the chat client's registry entries"
  if [ "${1:-}" = --large ]; then
    # Two copies of the demonstration's history (about 80 MB, 9,000 files): a full
    # backup of it lasts several seconds even on a fast machine.
    local n
    for n in 1 2; do python3 "$root/bench/gen-qq-tree.py" --demo "$chat_history/$n" >/dev/null; done
  else
    mkdir -p "$chat_history/123456789/Image" "$chat_history/123456789/FileRecv"
    printf 'messages' >"$chat_history/123456789/Msg2.0.db"
    printf 'picture' >"$chat_history/123456789/Image/a.png"
    printf '文件' >"$chat_history/123456789/FileRecv/收到的文件.txt"
  fi
}
# Settings through the installed companion, as a user would make them: a daily run at
# midnight, caught up at start-up when missed. With no backup yet, every start of Kestova
# backs up at once; once a backup is stamped today, no start does.
catch_up_daily() { # DIR_WIN
  wine_status "$1\\Marrowby.exe" --options --set Mode=PRE_DAY --set Time=00:00 --set BackupAtuOnce=1 ||
    fail "the installed Marrowby.exe did not write the settings"
}
runner_start() { # DIR_WIN
  "$WINE64" "$1\\Kestova.exe" </dev/null >>"$out/wine.log" 2>&1 &
  runner_pid=$(ctl wait-window "$RUNNER_CLASS" 30000) || fail "Kestova's window did not appear"
}
# Waits for the stamp of slot $2 in $1/config.ini.
wait_stamp() { # APP_DIR SLOT
  local i
  for i in $(seq 600); do
    [ -n "$(ini_value "$1/config.ini" "Target$2" Ended 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  fail "no completion stamp for slot $2"
}

# A default installation whose Kestova runs (runner_pid) and has made its first backup;
# sets dir (the program folder) and store.
installed_and_backed_up() {
  simulate_chat_client
  run_setup /S || fail "silent install ended with status $?"
  dir=$(unix_path "$default_dir")
  store=$(dirname "$dir")/Backup_Data
  catch_up_daily "$default_dir"
  runner_start "$default_dir"
  wait_stamp "$dir" 1
}

# An installation in DIR_WIN (Unix path in $2) as /S /D=DIR_WIN leaves it.
check_installed() { # DIR_WIN DIR
  local dir_win=$1 dir=$2 f
  for f in Kestova.exe robocopy.exe Marrowby.exe; do
    cmp -s "$bin/$f" "$dir/$f" || fail "$f is not the built one"
  done
  [ -f "$dir/Uninstall.exe" ] || fail "no Uninstall.exe"
  [ "$(reg_value "$RUN_KEY" Kestova)" = "\"$dir_win\\Kestova.exe\"" ] ||
    fail "autostart value: '$(reg_value "$RUN_KEY" Kestova)'"
  ok "program files and the autostart value \"$dir_win\\Kestova.exe\""
  local name want
  while IFS='|' read -r name want; do
    [ "$(reg_value "$UNINSTALL_KEY" "$name")" = "$want" ] ||
      fail "uninstall entry $name: '$(reg_value "$UNINSTALL_KEY" "$name")', expected '$want'"
  done <<EOT
DisplayName|Kestova
DisplayVersion|$version
DisplayIcon|"$dir_win\\Kestova.exe",0
InstallLocation|$dir_win
UninstallString|"$dir_win\\Uninstall.exe"
QuietUninstallString|"$dir_win\\Uninstall.exe" /S
EOT
  local size_kb files_kb
  size_kb=$(($(reg_value "$UNINSTALL_KEY" EstimatedSize)))
  files_kb=$(($(du -k --apparent-size -c "$dir"/*.exe | tail -n1 | cut -f1)))
  [ "$size_kb" -ge $((files_kb * 9 / 10)) ] && [ "$size_kb" -le $((files_kb * 11 / 10 + 4)) ] ||
    fail "EstimatedSize $size_kb KB, the files take $files_kb KB"
  ! reg_value "$UNINSTALL_KEY" Publisher >/dev/null || fail "the uninstall entry names a publisher"
  ok "uninstall entry: name, version $version, icon, location, size $size_kb KB, both uninstall strings"
  local link target args
  while IFS='|' read -r link target args; do
    [ -f "$start_menu/$link" ] || fail "no shortcut $link"
    utf16_texts "$start_menu/$link" | grep -iF "$dir_win\\$target" >/dev/null || fail "$link does not start $target"
    [ -z "$args" ] || utf16_texts "$start_menu/$link" | grep -xF -- "$args" >/dev/null || fail "$link lacks $args"
  done <<EOT
Kestova.lnk|Kestova.exe|
Kestova 选项.lnk|Marrowby.exe|--options
Kestova 还原.lnk|Marrowby.exe|--restore
卸载 Kestova.lnk|Uninstall.exe|
EOT
  ok "Start menu folder Kestova: Kestova, 选项 (--options), 还原 (--restore), 卸载"
}

# ------------------------------------------------------------------------------- cases
case $case_name in
install)
  dir_win='C:\聊天 备份\App'
  dir=$(unix_path "$dir_win")
  run_setup /S "/D=$dir_win" || fail "silent install ended with status $?"
  check_installed "$dir_win" "$dir"
  [ "$(LC_ALL=C ls "$dir" | tr '\n' ' ')" = "Kestova.exe Marrowby.exe Uninstall.exe robocopy.exe " ] ||
    fail "unexpected files: $(ls "$dir")"
  ok "nothing else in the folder (no config.ini before Kestova writes one)"
  # A drive's root has no parent for the store: refused, nothing written.
  status=0
  run_setup /S '/D=K:\' || status=$?
  [ $status -ne 0 ] || fail "an installation into a drive's root was accepted"
  [ -z "$(ls -A "$(unix_path 'K:\')")" ] || fail "files written into the drive's root"
  ok "a drive's root refused with status $status, nothing written"
  ;;

logon)
  simulate_chat_client
  run_setup /S || fail "silent install ended with status $?"
  dir=$(unix_path "$default_dir")
  check_installed "$default_dir" "$dir"
  catch_up_daily "$default_dir"
  # A logon: the session's first wineboot starts the Run values, as Windows does at logon.
  "$WINESERVER" -k
  "$WINESERVER" -p
  wine_status wineboot || fail "wineboot failed"
  runner_pid=$(ctl wait-window "$RUNNER_CLASS" 30000) || fail "no Kestova window after the logon"
  ok "the logon started Kestova (process $runner_pid), its tray window exists"
  wait_stamp "$dir" 1
  store=$(dirname "$dir")/Backup_Data
  diff -r "$chat_history" "$store/1" >"$out/diff.txt" || fail "Backup_Data\\1 differs from the chat history"
  ok "the missed daily run was caught up: the backup landed in ${default_dir%\\*}\\Backup_Data\\1, stamped $(ini_value "$dir/config.ini" Target1 Ended)"
  ;;

finish-page)
  simulate_chat_client
  # The wizard as a user goes through it: the default folder, then on the finish page the
  # autostart box unticked and "立即启动 Kestova" left ticked.
  "$WINE64" "$setup" </dev/null >>"$out/wine.log" 2>&1 &
  setup_pid=$!
  ctl click "安装(&I)" 60000 >/dev/null || fail "no install button on the folder page"
  ctl click "登录 Windows 时自动启动" 120000 >/dev/null || fail "no autostart box on the finish page"
  ctl click "完成(&F)" 10000 >/dev/null || fail "no finish button"
  status=0
  wait "$setup_pid" || status=$?
  [ $status -eq 0 ] || fail "the wizard ended with status $status"
  ! reg_value "$RUN_KEY" Kestova >/dev/null || fail "the autostart value stays although its box was unticked"
  ok "autostart box unticked: no autostart value"
  runner_pid=$(ctl wait-window "$RUNNER_CLASS" 30000) || fail "\"立即启动 Kestova\" did not start Kestova"
  ok "立即启动 Kestova started it (process $runner_pid)"
  ;;

upgrade)
  installed_and_backed_up
  old_pid=$runner_pid
  # The companion's own file, and an installed program file that an upgrade must replace.
  printf '[Restore]\r\nSetAside=C:\\Tencent Files.before-restore-20260101-000000\r\n' >"$dir/Marrowby.ini"
  printf 'damaged' >>"$dir/Marrowby.exe"
  for f in config.ini logs.txt Marrowby.ini; do md5sum "$dir/$f"; done >"$out/kept.md5"
  tree_sums "$store" >"$out/store-before.md5"
  [ -s "$out/store-before.md5" ] || fail "no backup before the upgrade"
  run_setup /S || fail "silent upgrade ended with status $?"
  md5sum --quiet -c "$out/kept.md5" || fail "config.ini, logs.txt or Marrowby.ini changed"
  tree_sums "$store" | cmp -s - "$out/store-before.md5" || fail "Backup_Data changed"
  [ "$(ini_value "$dir/config.ini" AutoBackup Time)" = 00:00 ] || fail "the settings are gone"
  ok "kept: config.ini (settings, stamp $(ini_value "$dir/config.ini" Target1 Ended)), logs.txt, Marrowby.ini, Backup_Data"
  check_installed "$default_dir" "$dir"
  runner_pid=$(ctl wait-window "$RUNNER_CLASS" 30000) || fail "Kestova does not run after the upgrade"
  [ "$runner_pid" != "$old_pid" ] || fail "the old Kestova (process $old_pid) still runs"
  ok "the old Kestova (process $old_pid) quit, the new one runs (process $runner_pid)"
  ;;

uninstall)
  installed_and_backed_up
  printf '[Restore]\r\n' >"$dir/Marrowby.ini"
  md5sum "$dir/config.ini" "$dir/Marrowby.ini" >"$out/kept.md5"
  tree_sums "$store" >"$out/store-before.md5"
  # As the list of installed programs runs it. The uninstaller runs on from a copy of itself
  # in the temporary folder (so that it can remove its own file) and the first process ends
  # at once: the copy is waited for.
  quiet=$(reg_value "$UNINSTALL_KEY" QuietUninstallString) || fail "no QuietUninstallString"
  ctl exec "$quiet" >/dev/null || fail "the uninstaller ended with status $?"
  # The copy is Un.exe (Au_.exe before NSIS 3.04).
  ctl wait-no-process Un.exe 60000 >/dev/null && ctl wait-no-process Au_.exe 60000 >/dev/null ||
    fail "the uninstaller did not end"
  ctl wait-no-process Kestova.exe 0 >/dev/null || fail "a Kestova process is left"
  ! ctl wait-window "$RUNNER_CLASS" 0 >/dev/null || fail "Kestova's window is left"
  ok "no Kestova process or window left"
  [ "$(LC_ALL=C ls "$dir" | tr '\n' ' ')" = "Marrowby.ini config.ini " ] || fail "left in the folder: $(ls "$dir")"
  md5sum --quiet -c "$out/kept.md5" || fail "config.ini or Marrowby.ini changed"
  tree_sums "$store" | cmp -s - "$out/store-before.md5" || fail "Backup_Data changed"
  ok "program files gone; config.ini, Marrowby.ini and Backup_Data kept as they were"
  [ ! -e "$start_menu" ] || fail "the Start menu folder is left: $(ls "$start_menu")"
  ! reg_value "$RUN_KEY" Kestova >/dev/null || fail "the autostart value is left"
  ! reg_key_exists "$UNINSTALL_KEY" || fail "the uninstall entry is left"
  ok "Start menu folder, autostart value and uninstall entry gone"
  ;;

remove-data)
  installed_and_backed_up
  parent=$(dirname "$dir")
  printf 'not ours' >"$parent/notes.txt"
  # The uninstaller's pages, driven as a user would: the box that removes the backups too.
  ctl exec "\"$default_dir\\Uninstall.exe\"" >/dev/null || fail "the uninstaller did not start"
  ctl click "同时删除所有备份和设置" 60000 >/dev/null || fail "no box to remove the backups"
  ctl click "卸载(&U)" 10000 >/dev/null || fail "no uninstall button"
  ctl click "关闭(&L)" 120000 >/dev/null || fail "the uninstaller did not finish"
  ctl wait-no-process Un.exe 60000 >/dev/null || fail "the uninstaller did not end"
  [ ! -e "$store" ] || fail "Backup_Data is left"
  [ ! -e "$dir" ] || fail "the program folder is left: $(ls -A "$dir")"
  [ "$(cat "$parent/notes.txt")" = 'not ours' ] || fail "a file beside the installation was removed"
  ok "with the box ticked: Backup_Data, config.ini, Marrowby.ini and the folder gone; the parent's other files stay"
  ctl wait-no-process Kestova.exe 0 >/dev/null || fail "a Kestova process is left"
  ! reg_key_exists "$UNINSTALL_KEY" || fail "the uninstall entry is left"
  ok "no Kestova process, no uninstall entry"
  ;;

busy)
  simulate_chat_client --large
  cp -a "$chat_history" "$out/history"
  run_setup /S || fail "silent install ended with status $?"
  dir=$(unix_path "$default_dir")
  store=$(dirname "$dir")/Backup_Data
  catch_up_daily "$default_dir"
  printf 'damaged' >>"$dir/Marrowby.exe"
  damaged=$(md5sum <"$dir/Marrowby.exe")
  runner_start "$default_dir"
  old_pid=$runner_pid
  ctl wait-process robocopy.exe 30000 >/dev/null || fail "no backup started"
  # The copy tool is held still, so the backup lasts as long as the checks need however
  # fast this machine copies (the large history only makes it last long enough to hold).
  ctl suspend robocopy.exe >/dev/null || fail "the backup ended before it could be held"
  copy_held=1
  # Kestova refuses to quit while it backs up: a short wait gives up and changes nothing.
  status=0
  run_setup /S /WAIT=1 || status=$?
  [ $status -eq 2 ] || fail "an installer that could not stop Kestova ended with status $status"
  [ "$(md5sum <"$dir/Marrowby.exe")" = "$damaged" ] || fail "the program files were replaced"
  [ "$(ctl wait-window "$RUNNER_CLASS" 0)" = "$old_pid" ] || fail "Kestova did not go on running"
  ok "with /WAIT=1 during the backup: status 2, nothing replaced, Kestova (process $old_pid) goes on"
  # The default wait: it waits for the backup, then Kestova quits. The copy goes on only
  # once this installer waits.
  run_setup /S &
  setup_pid=$!
  ctl wait-process QuitKestova.exe 60000 >/dev/null || fail "the second installer does not wait for Kestova"
  sleep 2
  [ "$(ctl wait-window "$RUNNER_CLASS" 0)" = "$old_pid" ] || fail "Kestova quit during its backup"
  ctl resume robocopy.exe >/dev/null || fail "the held copy tool has gone"
  copy_held=""
  status=0
  wait "$setup_pid" || status=$?
  [ $status -eq 0 ] || fail "the upgrade during a backup ended with status $status"
  stamp=$(ini_value "$dir/config.ini" Target1 Ended)
  [ -n "$stamp" ] || fail "the backup's stamp is missing when the installer ends"
  tr -d '\r' <"$dir/logs.txt" | grep -q '^ *Ended :' || fail "the copy tool's log is incomplete"
  diff -r "$out/history" "$store/1" >"$out/diff.txt" || fail "Backup_Data\\1 differs from the chat history"
  ok "it waited for the backup: slot 1 complete, stamped $stamp"
  check_installed "$default_dir" "$dir"
  runner_pid=$(ctl wait-window "$RUNNER_CLASS" 30000) || fail "Kestova does not run after the upgrade"
  [ "$runner_pid" != "$old_pid" ] || fail "the old Kestova still runs"
  ok "Kestova runs again (process $runner_pid)"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac

# Passed: the prefix is not needed for inspection.
wine_env_stop
trap - EXIT
rm -rf "$out/env" "$out/history"
echo "passed: $case_name"
