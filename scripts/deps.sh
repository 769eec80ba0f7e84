#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, when any is missing:
# the toolchain, 64- and 32-bit Wine (the i386 architecture is added for the latter), and
# the zh_CN.UTF-8 locale, under which Wine runs as on a Chinese Windows (code page 936).
# Quiet, and quick, when everything is there.
set -euo pipefail

packages=(
  cmake make
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  googletest
  wine64 wine32:i386
  xvfb xauth x11-apps xdotool imagemagick fonts-wqy-microhei
  locales
  rsync python3
  nsis
)
LOCALE=zh_CN.UTF-8

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  # The package lists must know the i386 architecture before wine32:i386 can be found.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq </dev/null >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi

# locale -a spells the generated locale zh_CN.utf8.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8'; then
  echo "Generating the $LOCALE locale"
  if ! grep -q "^$LOCALE UTF-8" /etc/locale.gen 2>/dev/null; then
    echo "$LOCALE UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
  fi
  $sudo locale-gen >/dev/null
fi
