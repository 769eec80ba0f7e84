# Sourced by the scripts that drive Kestova under Wine and check what they see, the demo's
# scenario (scripts/demo/scenario.sh) and the installer's tests
# (tests/installer/installer_test.sh). WINE64 and WINESERVER come from scripts/wine-env.sh.
#
#   ok TEXT...                a passed check: counted in $checks and printed with the
#                             seconds since the script started
#   fail TEXT...              ends the script with status 1 after report_failure TEXT...,
#                             which says "FAILED: TEXT" on standard error; a script with
#                             more to say defines its own report_failure after sourcing this
#   ctl ARGS...               DemoCtl.exe ARGS in the prefix, the program at the Windows
#                             path CTL_WIN: its output, kept in the file CTL_OUTPUT, on
#                             standard output without the CRs; its errors appended to
#                             CTL_LOG (standard error when unset); its exit status as the
#                             function's
#   ini_value FILE SECTION KEY  one value of an INI file, sections and keys in any letter
#                             case, as Kestova reads them; nothing when it is missing
#   windows_path PATH, unix_path PATH   a path in the other form, as Wine maps it
#   end_stale_wine_server DIR   ends a Wine server that a killed run left on DIR/wineprefix,
#                             before that prefix is removed

checks=0
ok() {
  checks=$((checks + 1))
  printf '    ok (%3d s): %s\n' "$SECONDS" "$*"
}

report_failure() { printf '\nFAILED: %s\n' "$*" >&2; }
fail() {
  # A script that fails its commands by an ERR trap must not report this one twice.
  trap - ERR
  report_failure "$@"
  exit 1
}

# The output goes through a file, never a pipe: a program that DemoCtl starts inherits its
# handles and would keep a pipe open long after DemoCtl has ended.
ctl() {
  local output=${CTL_OUTPUT:?} status=0
  "$WINE64" "${CTL_WIN:?}" "$@" </dev/null >"$output" 2>>"${CTL_LOG:-/dev/stderr}" || status=$?
  tr -d '\r' <"$output"
  return $status
}

ini_value() {
  tr -d '\r' <"$1" | awk -v s="[$2]" -v k="$3" '
    /^\[/ { in_s = (tolower($0) == tolower(s)) }
    in_s && index($0, "=") { split($0, kv, "="); if (tolower(kv[1]) == tolower(k)) { sub(/^[^=]*=/, ""); print; exit } }'
}

# Wine's console output ends its lines with CR LF.
windows_path() { "$WINE64" winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r'; }
unix_path() { "$WINE64" winepath -u "$1" </dev/null 2>/dev/null | tr -d '\r'; }

end_stale_wine_server() {
  [ -d "$1/wineprefix" ] && WINEPREFIX=$1/wineprefix "$WINESERVER" -k >/dev/null 2>&1 || true
}
