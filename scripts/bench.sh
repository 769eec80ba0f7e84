#!/usr/bin/env bash
# Benchmarks. Installs what is missing, builds, then runs every scripts/bench/*.sh (or the
# ones named: scripts/bench.sh mirror process) under Wine on a private X server. Each prints
# its figures side by side with a baseline measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}
export KESTOVA_ROOT=$root KESTOVA_BUILD=$build

"$root/scripts/deps.sh"
"$root/scripts/build.sh" >/dev/null

. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build/bench-run"

if [ $# -gt 0 ]; then names=("$@"); else
  names=(); for f in "$root"/scripts/bench/*.sh "$root"/bench/*.sh; do [ -e "$f" ] && names+=("$(basename "$f" .sh)"); done
fi
for name in "${names[@]}"; do
  echo "== $name"
  case $name in
    generations) . "$root/bench/generations.sh" ;;
    *) . "$root/scripts/bench/$name.sh" ;;
  esac
done
