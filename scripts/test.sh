#!/usr/bin/env bash
# Installs what is missing, builds both Windows builds, and runs every test under Wine
# on a private headless X server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"
"$root/scripts/build.sh"

. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build/run"
cd "$build/x86_64"
ctest --output-on-failure -j "$(nproc)" "$@"
# The installer's tests belong to the build that makes the installer, the 32-bit one.
ctest --test-dir "$build/i686" -L installer --output-on-failure -j "$(nproc)" "$@"
