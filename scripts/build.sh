#!/usr/bin/env bash
# Configures and builds both Windows builds: x86_64 (built and tested) and i686 (compiled
# on every build; its 32-bit layouts are checked by static_asserts).
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
# The i686 build compiles the same targets; it only needs to compile and link.
cmake --build "$build/x86_64" -j "$jobs"
cmake --build "$build/i686" -j "$jobs"
