#!/usr/bin/env bash
# Screenshots of the companion's two dialogs under Wine, for the README:
# docs/images/companion-options.png and docs/images/companion-restore.png.
# Builds first if needed; uses a private prefix and X server under build/, and a sample
# program folder with two backups and a chat client installed as the demonstration
# installs it (scripts/demo/chat-client.sh), all in build/screenshots/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
"$root/scripts/build.sh"

. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build/screenshots-run"

sample=$build/screenshots/sample
rm -rf "$sample"
mkdir -p "$sample/App" "$sample/QQ/Users/12345/Image"
cp "$build/x86_64/bin/Marrowby.exe" "$build/x86_64/bin/robocopy.exe" "$sample/App/"
for n in 1 2 3 4 5; do mkdir -p "$sample/Backup_Data/$n"; done
for n in 2 4; do
  mkdir -p "$sample/Backup_Data/$n/12345/Image"
  head -c 300000 /dev/urandom > "$sample/Backup_Data/$n/12345/Msg2.0.db"
  head -c 40000 /dev/urandom > "$sample/Backup_Data/$n/12345/Image/a.png"
done
printf 'live' > "$sample/QQ/Users/12345/Msg2.0.db"
printf '[AutoBackup]\r\nMode=PRE_WEEK\r\nTime=21:30 FIR\r\nAutobackupAfterQQuit=1\r\nBackupAtuOnce=1\r\n[Target2]\r\nEnded=Sun Mar 14 10:00:00 2010\r\n[Target4]\r\nEnded=Fri Mar 19 21:30:07 2010\r\n' \
  > "$sample/App/config.ini"
# The chat client installed as the demonstration installs it, its data in the sample.
. "$root/scripts/demo/chat-client.sh"
chat_client_install "$build/x86_64/testbin/QQ.exe" "Z:${sample//\//\\}\\QQ\\Users"

mkdir -p "$root/docs/images"
shoot() { # mode output
  local mode=$1 out=$2
  (cd "$sample/App" && "$WINE64" explorer /desktop=shot,800x600 Marrowby.exe "$mode" </dev/null >/dev/null 2>&1) &
  local pid=$!
  sleep 6
  xwd -root -silent -display "$DISPLAY" | /usr/bin/convert xwd:- -crop 800x600+0+0 +repage "$out"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -p
}
shoot --options "$root/docs/images/companion-options.png"
shoot --restore "$root/docs/images/companion-restore.png"
echo "written: docs/images/companion-options.png docs/images/companion-restore.png"
