#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds, and shows where the
# built programs are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"
"$root/scripts/build.sh"

bin=$build/x86_64/bin
echo
echo "Built programs (64-bit): $bin"
ls -1 "$bin" 2>/dev/null | sed 's/^/  /' || true
echo "32-bit build (compiled only): $build/i686/bin"
