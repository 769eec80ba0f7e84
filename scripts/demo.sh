#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds, and runs the
# scenario end to end as a user sees it (scripts/demo/scenario.sh): a simulated QQ2010
# installation, Kestova in its tray, six backups after QQ exits (full ones into the
# empty slots, then an incremental one), the menu and the exit, with screenshots in
# build/demo/screenshots. Ends with status 0 when every step did what
# it should.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTOVA_BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"
echo "Building..."
mkdir -p "$build"
"$root/scripts/build.sh" >"$build/demo-build.log" 2>&1 || { tail -n 40 "$build/demo-build.log" >&2; exit 1; }
echo "Built: $build/x86_64/bin, $build/i686/bin"
echo "Installer: $(ls "$build"/i686/installer/Kestova-Setup-*.exe 2>/dev/null || echo "not built (no makensis)")"
KESTOVA_BUILD_DIR=$build exec bash "$root/scripts/demo/scenario.sh" "$build/demo"
