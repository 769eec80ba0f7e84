#!/usr/bin/env bash
# Screenshots of the installer's folder page and finish page under Wine, for the README:
# docs/images/installer-folder.png and docs/images/installer-finish.png.
# Builds first if needed; uses a private prefix and X server under build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
setup=$(ls "$build"/i686/installer/Kestova-Setup-*.exe | head -n1)

# The pages' Chinese needs a Chinese code page in Wine and UTF-8 file names.
export LANG=zh_CN.UTF-8
. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build/screenshots-installer-run"

W=800 H=600
shot() { xwd -root -silent -display "$DISPLAY" | /usr/bin/convert xwd:- -crop ${W}x${H}+0+0 +repage "$1"; }
# The wizard is a fixed-size dialog centred on the virtual desktop; its "下一步" button sits
# at the same place on every page. Found once by looking for the dialog's frame.
mkdir -p "$root/docs/images"
"$WINE64" explorer "/desktop=setup,${W}x${H}" "$setup" </dev/null >/dev/null 2>&1 &
pid=$!
sleep 8
shot "$root/docs/images/installer-folder.png"
# The dialog's bounds: everything that is not the desktop's background colour.
read -r dw dh dx dy < <(/usr/bin/convert "$root/docs/images/installer-folder.png" -fuzz 2% -trim -format '%w %h %X %Y\n' info: | tr -d '+')
# "下一步(N) >" (the install button on the folder page) is the middle one of the three
# buttons at the bottom right.
next_x=$((dx + dw - 133)) next_y=$((dy + dh - 22))
xdotool mousemove --sync $next_x $next_y click 1
sleep 12
shot "$root/docs/images/installer-finish.png"
# 完成 ends the wizard (the finish page's button is where 下一步 was).
xdotool mousemove --sync $next_x $next_y click 1
sleep 3
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
echo "written: docs/images/installer-folder.png docs/images/installer-finish.png"
