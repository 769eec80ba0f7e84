# Sourced by the test, demo and benchmark scripts: a private Wine prefix and a private
# headless X server, both under the build tree, stopped again by wine_env_stop.
#
#   wine_env_start DIR   prefix DIR/wineprefix, copied fresh from a prepared template
#                        (wine-template beside DIR, or KESTOVA_WINE_TEMPLATE when that is
#                        set), so that the runs under one build folder share one template
#   wine_env_stop
#
# Every Wine program runs as on a Chinese Windows: the ANSI code page is 936 (GBK), which
# Wine takes from the Unix locale of each process. UTF-8 file names stay as they are.

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all
# No Linux menu entries or icons in the user's home for the shortcuts that programs make.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d}
# The 64-bit loader runs 32-bit programs too, in a prefix made with 32-bit Wine installed.
export WINELOADER=$WINE64
# Every category follows LANG (none is set on its own), except that the scripts' own sort
# and comparisons stay in byte order.
for _lc in $(compgen -e | grep '^LC_'); do unset "$_lc"; done
export LANG=zh_CN.UTF-8 LC_COLLATE=C

_wine_env_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Runs a Wine program with no console chatter and no standard input.
wine_quiet() { "$WINE64" "$@" </dev/null >/dev/null 2>&1; }

_xvfb_pid=""
_keeper_pid=""

wine_env_start() {
  local dir
  dir=$(mkdir -p "$1" && cd "$1" && pwd) || return 1
  local template=${KESTOVA_WINE_TEMPLATE:-$(dirname "$dir")/wine-template}

  # Our own X server on the first free display.
  local fifo=$dir/xvfb.display
  rm -f "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  _xvfb_pid=$!
  local i
  for i in $(seq 100); do [ -s "$fifo" ] && break; sleep 0.1; done
  [ -s "$fifo" ] || { echo "wine_env_start: Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$fifo")"

  wine_env_template "$template" || return 1
  export WINEPREFIX=$dir/wineprefix
  rm -rf "$WINEPREFIX"
  cp -a "$template" "$WINEPREFIX"
  # An empty drive K: for tests that need a program in a drive's root.
  rm -rf "$dir/drive-k" && mkdir -p "$dir/drive-k"
  ln -sfn "$dir/drive-k" "$WINEPREFIX/dosdevices/k:"
  export KESTOVA_TEST_ROOT_DRIVE=K:
  # Keep one server for the whole run: test processes then start in milliseconds, and
  # Wine's services do not hold the runner's output pipes open.
  "$WINESERVER" -p
  wine_quiet cmd /c exit
  wine_env_keep_desktop "$dir"
}

# A prepared prefix is kept as a template; every run gets a fresh copy of it. It must have
# been made with 32-bit Wine installed (its syswow64 folder then holds the 32-bit system),
# and under the Chinese locale. Runs that share a template make it one at a time.
wine_env_template() {
  local template=$1
  mkdir -p "$(dirname "$template")"
  (
    flock 9
    [ -f "$template/.kestova-ready" ] && [ -f "$template/drive_c/windows/syswow64/kernel32.dll" ] && exit 0
    rm -rf "$template"
    mkdir -p "$template"
    WINEPREFIX=$template wine_env_boot || exit 1
    [ -f "$template/drive_c/windows/syswow64/kernel32.dll" ] || {
      echo "wine_env_start: the new prefix has no 32-bit system (is wine32:i386 installed?)" >&2
      exit 1
    }
    touch "$template/.kestova-ready"
  ) 9>"$template.lock"
}

# First boot of a prefix, and the settings every run relies on.
wine_env_boot() {
  export WINEPREFIX
  wine_quiet wineboot -i || return 1
  # Draw Chinese in the balloon, menu and tooltip font.
  wine_quiet reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /t REG_SZ /d 'WenQuanYi Micro Hei' /f &&
    wine_quiet reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei' /t REG_SZ /d 'WenQuanYi Micro Hei' /f ||
    return 1
  # The server ends by itself once only Wine's own services are left; its registry is
  # then saved.
  "$WINESERVER" -w
}

# Wine's desktop process ends by itself a while after the last program with a window has
# gone; the next program that makes a window starts it again, handing it its own standard
# handles, and a test child's output pipe would then stay open as long as the desktop
# process lives. A hidden window held for the whole run keeps the first desktop process,
# started here with its standard handles on /dev/null.
wine_env_keep_desktop() {
  local dir=$1 keeper=$1/DesktopKeeper.exe source=$_wine_env_scripts/wine-env/DesktopKeeper.cpp
  if [ ! -f "$keeper" ] || [ "$source" -nt "$keeper" ]; then
    x86_64-w64-mingw32-g++-posix -O2 -municode -mwindows -static -s -o "$keeper" "$source" || return 1
  fi
  rm -f "$dir/desktop-kept"
  # Z: is the Unix root.
  local ready="Z:${dir//\//\\}\\desktop-kept"
  "$WINE64" "$keeper" "$ready" </dev/null >/dev/null 2>&1 &
  _keeper_pid=$!
  local i
  for i in $(seq 200); do [ -f "$dir/desktop-kept" ] && return 0; sleep 0.05; done
  echo "wine_env_start: the desktop keeper did not start" >&2
  return 1
}

wine_env_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then "$WINESERVER" -k >/dev/null 2>&1 || true; fi
  if [ -n "$_keeper_pid" ]; then wait "$_keeper_pid" 2>/dev/null || true; fi
  if [ -n "$_xvfb_pid" ]; then kill "$_xvfb_pid" 2>/dev/null || true; wait "$_xvfb_pid" 2>/dev/null || true; fi
  _xvfb_pid=""
  _keeper_pid=""
}
