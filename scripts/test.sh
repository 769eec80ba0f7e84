#!/usr/bin/env bash
# Installs what is missing, builds both Windows builds, and runs the whole test suite once
# for each build (x86_64, then i686), each in a fresh Wine prefix on a private headless X
# server, as on a Chinese Windows (code page 936). Fails when either build fails a test.
# Extra arguments go to both ctest runs (e.g. -R runner_test, --schedule-random, -j1).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"
"$root/scripts/build.sh"

. "$root/scripts/wine-env.sh"
# Both runs copy one template, made after the 32-bit install: the 64-bit loader runs
# 32-bit programs in it too.
export KESTOVA_WINE_TEMPLATE=$build/wine-template

# Runs one build's suite in a Wine environment of its own; its log in $build/test-ARCH.log.
run_suite() {
  local arch=$1; shift
  (
    trap wine_env_stop EXIT
    wine_env_start "$build/run-$arch" || exit 1
    cd "$build/$arch" || exit 1
    ctest --output-on-failure -j 2 "$@"
  ) 2>&1 | tee "$build/test-$arch.log" | sed -u "s/^/[$arch] /"
  return "${PIPESTATUS[0]}"
}

status=0
results=()
for arch in x86_64 i686; do
  started=$(date +%s)
  echo "== $arch build: the whole suite"
  if run_suite "$arch" "$@"; then verdict=passed; else verdict=FAILED; status=1; fi
  took=$(($(date +%s) - started))
  counts=$(grep -E '^[0-9]+% tests passed' "$build/test-$arch.log" | tail -n 1 || true)
  results+=("$arch build: $verdict in ${took} s (${counts:-no tests ran})")
  failed=$(sed -n '/^The following tests FAILED:/,$p' "$build/test-$arch.log" | grep -E '^\s+[0-9]+ - ' || true)
  [ -z "$failed" ] || results+=("$(sed "s/^/    /" <<<"$failed")")
done

echo
echo "== Summary (code page 936, LANG=$LANG)"
printf '%s\n' "${results[@]}"
exit $status
