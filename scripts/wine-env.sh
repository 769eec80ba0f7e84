# Sourced by the test, demo and benchmark scripts: a private Wine prefix and a private
# headless X server, both under the build tree, stopped again by wine_env_stop.
#
#   wine_env_start DIR   prefix DIR/wineprefix, copied fresh from a prepared template
#                        (DIR/wine-template, or KESTOVA_WINE_TEMPLATE when that is set)
#   wine_env_stop

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all
# No Linux menu entries or icons in the user's home for the shortcuts that programs make.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d}
export WINELOADER=$WINE64

# Runs a Wine program with no console chatter and no standard input.
wine_quiet() { "$WINE64" "$@" </dev/null >/dev/null 2>&1; }

_xvfb_pid=""

wine_env_start() {
  local dir=$1
  local template=${KESTOVA_WINE_TEMPLATE:-$dir/wine-template}
  mkdir -p "$dir"

  # Our own X server on the first free display.
  local fifo=$dir/xvfb.display
  rm -f "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  _xvfb_pid=$!
  local i
  for i in $(seq 100); do [ -s "$fifo" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$fifo")"

  # A prepared prefix is kept as a template; every run gets a fresh copy of it.
  if [ ! -f "$template/.kestova-ready" ]; then
    rm -rf "$template"
    mkdir -p "$template"
    WINEPREFIX=$template wine_env_boot
    touch "$template/.kestova-ready"
  fi
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
}

# First boot of a prefix, and the settings every run relies on.
wine_env_boot() {
  export WINEPREFIX
  wine_quiet wineboot -i
  # Draw Chinese in the balloon, menu and tooltip font.
  wine_quiet reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /t REG_SZ /d 'WenQuanYi Micro Hei' /f
  wine_quiet reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei' /t REG_SZ /d 'WenQuanYi Micro Hei' /f
  # The server ends by itself once only Wine's own services are left; its registry is
  # then saved.
  "$WINESERVER" -w
}

wine_env_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then "$WINESERVER" -k >/dev/null 2>&1 || true; fi
  if [ -n "$_xvfb_pid" ]; then kill "$_xvfb_pid" 2>/dev/null || true; wait "$_xvfb_pid" 2>/dev/null || true; fi
  _xvfb_pid=""
}
