#!/usr/bin/env bash
# Configures and builds both Windows builds, x86_64 and i686; the tests of both run under
# Wine (scripts/test.sh).
# Usage: scripts/build.sh [extra cmake -D options for both builds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}
jobs=$(nproc)

for arch in x86_64 i686; do
  dir=$build/$arch
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  elif [ $# -gt 0 ]; then
    cmake "$dir" "$@" >/dev/null
  fi
done
cmake --build "$build/x86_64" -j "$jobs"
cmake --build "$build/i686" -j "$jobs"
