# Sourced by scripts/bench.sh: the client process check, which runs five times a second
# for the program's whole life, timed with about 100 other processes running, beside one
# bare process snapshot taken and closed in the same run.
"$WINE64" "$KESTOVA_BUILD/x86_64/testbin/process_bench.exe" 100 200 </dev/null 2>&1
