#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, when any is missing.
set -euo pipefail

packages=(
  cmake make
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  googletest
  wine64
  xvfb xauth x11-apps xdotool imagemagick fonts-wqy-microhei
  rsync python3
  nsis
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq </dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
