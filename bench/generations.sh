# Sourced by scripts/bench.sh (Wine and the build are set up): five backups of a generated
# tree shaped like a chat client's data folder into the five slots of a store, with 1% of
# the files changed between sessions, once as full copies and once with each backup
# hard-linking its unchanged files from the one before (/LINKDEST). Printed side by side:
# the store's size on disk against one generation (du counts a file with several links
# once) and the time of backups 2 to 5 against the first.
# Everything lives in $KESTOVA_BUILD/bench-data/generations; the tree is generated once.

bench_generations() {
  local data=$KESTOVA_BUILD/bench-data/generations
  local tool=$KESTOVA_BUILD/x86_64/bin/robocopy.exe
  local gen=$KESTOVA_ROOT/bench/gen-qq-tree.py
  [ -f "$gen" ] || gen=$KESTOVA_ROOT/scripts/bench/gen-qq-tree.py
  command -v python3 >/dev/null || {
    local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get install -y -qq --no-install-recommends python3 </dev/null >/dev/null
  }
  mkdir -p "$data"
  if [ ! -f "$data/.tree-v1" ]; then
    echo "Generating the test tree in $data/tree ..."
    rm -rf "$data/tree"
    python3 "$gen" "$data/tree"
    touch "$data/.tree-v1"
  fi

  winpath() { printf 'Z:%s' "${1//\//\\}"; }
  # A session's changes: 1% of the files (a different 1% each session, the same in both
  # modes) get new bytes of the same size and a new last-write time.
  change_session() {
    python3 - "$1" "$2" <<'PY'
import os, sys
root, session = sys.argv[1], int(sys.argv[2])
files = sorted(os.path.join(d, f) for d, _, names in os.walk(root) for f in names)
for k, path in enumerate(files[session::100]):
    size = os.path.getsize(path)
    stamp = b"session %d file %d " % (session, k)
    with open(path, "r+b") as f:
        f.write(stamp[:size])
    t = 1700000000 + session * 86400 + k
    os.utime(path, (t, t))
PY
  }

  # One mode: five sessions into store/1..5. Sets ms_1..ms_5, status_max, the store's and
  # one generation's size on disk (kB).
  local mode ms_1 ms_2 ms_3 ms_4 ms_5 worst store_kb slot_kb linked_5
  run_mode() {
    mode=$1
    local src=$data/src store=$data/store
    rm -rf "$src" "$store"
    cp -a "$data/tree" "$src"
    mkdir -p "$store"
    worst=0
    local k t0 t1 status ref
    for k in 1 2 3 4 5; do
      [ "$k" -gt 1 ] && change_session "$src" "$k"
      ref=()
      if [ "$mode" = links ] && [ "$k" -gt 1 ]; then ref=("/LINKDEST:$(winpath "$store/$((k - 1))")"); fi
      sync
      t0=$(date +%s%N)
      set +e
      "$WINE64" "$tool" "$(winpath "$src")" "$(winpath "$store/$k")" /MIR "${ref[@]}" </dev/null >"$data/$mode-$k.log" 2>&1
      status=$?
      set -e
      t1=$(date +%s%N)
      printf -v "ms_$k" '%d' $(( (t1 - t0) / 1000000 ))
      [ "$status" -gt "$worst" ] && worst=$status
      diff -rq "$src" "$store/$k" >/dev/null || { echo "backup $k ($mode) differs from the source"; worst=99; }
    done
    linked_5=$(grep -a '  Linked : ' "$data/$mode-5.log" | awk '{print $3}' || true)
    store_kb=$(du -sk "$store" | cut -f1)
    slot_kb=$(du -sk "$store/1" | cut -f1)
  }

  local c_ms=() l_ms=() c_store c_slot l_store l_slot c_worst l_worst l_linked k
  run_mode copies
  c_ms=("$ms_1" "$ms_2" "$ms_3" "$ms_4" "$ms_5"); c_store=$store_kb; c_slot=$slot_kb; c_worst=$worst
  run_mode links
  l_ms=("$ms_1" "$ms_2" "$ms_3" "$ms_4" "$ms_5"); l_store=$store_kb; l_slot=$slot_kb; l_worst=$worst
  l_linked=${linked_5:-0}
  rm -rf "$data/src" "$data/store"

  local files; files=$(find "$data/tree" -type f | wc -l)
  sec() { printf '%d.%03d s' $(( $1 / 1000 )) $(( $1 % 1000 )); }
  pct() { printf '%d%%' $(( $1 * 100 / ($2 > 0 ? $2 : 1) )); }
  ratio() { printf '%d.%02dx' $(( $1 / ($2 > 0 ? $2 : 1) )) $(( $1 * 100 / ($2 > 0 ? $2 : 1) % 100 )); }
  printf '\nTree: %d files, %d MB; five backups, 1%% of the files changed between sessions\n\n' \
    "$files" $(( $(du -sk "$data/tree" | cut -f1) / 1024 ))
  printf '%-40s %22s %22s  %s\n' "" "full copies" "/LINKDEST previous" "goal (links)"
  printf '%-40s %22s %22s\n' "one generation on disk" "$(( c_slot / 1024 )) MB" "$(( l_slot / 1024 )) MB"
  printf '%-40s %22s %22s  %s\n' "store on disk (shared files once)" "$(( c_store / 1024 )) MB" "$(( l_store / 1024 )) MB" ""
  printf '%-40s %22s %22s  %s\n' "store against one generation" "$(ratio "$c_store" "$c_slot")" \
    "$(ratio "$l_store" "$l_slot")" "<= 1.30x"
  printf '%-40s %22s %22s\n' "backup 1 (full)" "$(sec "${c_ms[0]}")" "$(sec "${l_ms[0]}")"
  for k in 1 2 3 4; do
    printf '%-40s %22s %22s  %s\n' "backup $((k + 1)) against backup 1" \
      "$(sec "${c_ms[$k]}") $(pct "${c_ms[$k]}" "${c_ms[0]}")" \
      "$(sec "${l_ms[$k]}") $(pct "${l_ms[$k]}" "${l_ms[0]}")" "<= 25%"
  done
  printf '%-40s %22s %22s\n' "files linked by backup 5" "-" "$l_linked"
  printf '%-40s %22s %22s  %s\n' "highest exit status" "$c_worst" "$l_worst" "< 8"
  echo
}
bench_generations
