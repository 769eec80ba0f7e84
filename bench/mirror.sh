# Sourced by scripts/bench.sh (Wine and the build are set up): the copy tool on a
# generated tree shaped like a chat client's data folder, beside Wine's own xcopy and the
# native cp and rsync, all on the same tree in one run. Everything lives in
# $KESTOVA_BUILD/bench-data; the tree is generated once and reused.

bench_mirror() {
  local data=$KESTOVA_BUILD/bench-data
  local src=$data/src
  local tool=$KESTOVA_BUILD/x86_64/bin/robocopy.exe
  command -v python3 >/dev/null || {
    local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get install -y -qq --no-install-recommends python3 </dev/null >/dev/null
  }
  if [ ! -f "$data/.src-v1" ]; then
    echo "Generating the test tree in $src ..."
    rm -rf "$src" && mkdir -p "$data"
    python3 "$KESTOVA_ROOT/bench/gen-qq-tree.py" "$src"
    touch "$data/.src-v1"
  fi
  local files bytes
  files=$(find "$src" -type f | wc -l)
  bytes=$(du -sb "$src" | cut -f1)

  # Windows path of a Linux path through Wine's Z: drive.
  winpath() { printf 'Z:%s' "${1//\//\\}"; }
  # Milliseconds taken by a command into $ms, its exit status into $status.
  local ms=0 status=0
  timed() {
    local t0 t1
    t0=$(date +%s%N)
    set +e; "$@"; status=$?; set -e
    t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
  }
  ours() { "$WINE64" "$tool" "$(winpath "$src")" "$(winpath "$data/out-ours")" /MIR </dev/null >"$data/ours.log" 2>&1; }
  xcopy_run() { "$WINE64" xcopy "$(winpath "$src")" "$(winpath "$data/out-xcopy")" /E /I /Y </dev/null >/dev/null 2>&1; }

  rm -rf "$data/out-ours" "$data/out-xcopy" "$data/out-cp" "$data/out-rsync"
  sync
  local full unchanged changed xcopy cp rsync s_full s_unchanged s_changed s_xcopy
  timed ours; full=$ms; s_full=$status
  diff -rq "$src" "$data/out-ours" >/dev/null || { echo "mirror differs from the source"; s_full=99; }
  timed ours; unchanged=$ms; s_unchanged=$status
  # Change 1% of the files: new contents (same size) and a new time.
  find "$src" -type f -name '*.jpg' | sort | awk 'NR % 64 == 1' | head -n $(( files / 100 )) |
    while IFS= read -r f; do printf 'changed %s' "$(date +%s%N)" | dd of="$f" conv=notrunc status=none; done
  timed ours; changed=$ms; s_changed=$status
  diff -rq "$src" "$data/out-ours" >/dev/null || { echo "mirror differs from the source"; s_changed=99; }
  timed xcopy_run; xcopy=$ms; s_xcopy=$status
  timed cp -a "$src" "$data/out-cp"; cp=$ms
  timed rsync -a --delete "$src/" "$data/out-rsync/"; rsync=$ms

  sec() { printf '%d.%03d' $(( $1 / 1000 )) $(( $1 % 1000 )); }
  printf '\nTree: %d files, %d MB (%s)\n\n' "$files" $(( bytes / 1048576 )) "$src"
  printf '%-44s %10s  %s\n' "run" "seconds" "note"
  printf '%-44s %10s  %s\n' "copy tool /MIR, full mirror (Wine)" "$(sec "$full")" "exit $s_full"
  printf '%-44s %10s  %s\n' "copy tool /MIR, re-run, unchanged (Wine)" "$(sec "$unchanged")" \
    "exit $s_unchanged, $(( unchanged * 100 / (full > 0 ? full : 1) ))% of full (target < 25%)"
  printf '%-44s %10s  %s\n' "copy tool /MIR, re-run, 1% changed (Wine)" "$(sec "$changed")" "exit $s_changed"
  printf '%-44s %10s  %s\n' "xcopy /E /I /Y, full copy (Wine)" "$(sec "$xcopy")" \
    "exit $s_xcopy; ours takes $(( full * 100 / (xcopy > 0 ? xcopy : 1) ))% of it (target <= 100%)"
  printf '%-44s %10s  %s\n' "cp -a, full copy (native)" "$(sec "$cp")" "reference"
  printf '%-44s %10s  %s\n' "rsync -a --delete, full copy (native)" "$(sec "$rsync")" "reference"
  echo
  rm -rf "$data/out-xcopy" "$data/out-cp" "$data/out-rsync"
}
bench_mirror
