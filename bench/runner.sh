# Sourced by scripts/bench.sh (Wine, the X server and the build are set up): the resident
# runner, Kestova.exe, beside a minimal resident program with a hidden window and a 200 ms
# timer, both measured in the same run: processor time over an idle minute with the client
# watch armed, once without the chat client and once with it running, peak working set,
# and the delay from the chat client's end to the copy tool's start over 20 trials.
# runner_bench.exe sets up its own scratch program folder and the chat client's registry
# entries, and removes them again.
"$WINE64" "$KESTOVA_BUILD/x86_64/testbin/runner_bench.exe" "${KESTOVA_BENCH_IDLE_SECONDS:-60}" \
  "${KESTOVA_BENCH_TRIALS:-20}" </dev/null 2>&1 || echo "runner benchmark failed (status $?)"
