#!/usr/bin/env bash
# TAVO_OPTIONS end to end on one racy program (a race in deposit(), called from locked_deposit()
# on one side): separators, suppressions files matched against any frame, warnings for names that
# match nothing, every detection or each race once, and reports to a log file.
set -uo pipefail
wrappers="$1" c_compiler="$2" source="$3" work="$4"
mkdir -p "$work"
program="$work/racy"
TAVO_CC="$c_compiler" "$wrappers/tavocc" -std=c11 -g -O1 "$source" -o "$program" -lpthread || { echo "FAIL: does not build"; exit 1; }
fail() { echo "FAIL: $*"; echo "--- stderr:"; cat "$work/err"; exit 1; }
run() { TAVO_OPTIONS="$1" "$program" >/dev/null 2>"$work/err"; status=$?; }
reports() { grep -c '^WARNING: tavo' "$work/err"; }

printf '# known\nrace:locked_*\n' >"$work/deep.supp"
printf 'race:no_such_function_anywhere\ncalled_from_lib:libnothing.so\n' >"$work/unmatched.supp"

run "exitcode=3 halt_on_error=1"
[ "$status" = 3 ] && [ "$(reports)" = 1 ] || fail "blanks between options: status $status"
run "exitcode=3,suppressions=$work/deep.supp"
[ "$status" = 0 ] && [ "$(reports)" = 0 ] || fail "a pattern on a caller of the earlier access does not suppress"
run "exitcode=3:suppressions='$work/unmatched.supp'"
[ "$(grep -c "matches no function or module" "$work/err")" = 1 ] || fail "no single warning for race:"
[ "$(grep -c "matches no loaded module" "$work/err")" = 1 ] || fail "no single warning for called_from_lib:"
[ "$status" = 3 ] && [ "$(reports)" = 1 ] || fail "an unmatched suppression suppressed"
run "suppress='no_such_function_anywhere,deposit' exitcode=0"
[ "$(grep -c "names no function of the program: 'no_such_function_anywhere'" "$work/err")" = 1 ] || fail "suppress= warning"
[ "$(reports)" = 0 ] || fail "suppress= by function"
run "dedupe=0 exitcode=0"
detections="$(sed -n 's/^tavo: reported [0-9]* data sharing (\([0-9]*\) detections*).*/\1/p' "$work/err")"
[ -n "$detections" ] && [ "$(reports)" = "$detections" ] || fail "dedupe=0 prints $(reports) of '$detections' detections"
run "colour=1 exitcode=0"
grep -q "^tavo: unknown option 'colour' in TAVO_OPTIONS; valid options: tsm=0|1 .* log_path=PREFIX$" "$work/err" || fail "no error for an unknown option"
[ "$(reports)" = 1 ] || fail "an unknown option stops the reports"
rm -f "$work"/log.*
run "log_path=$work/log"
[ "$status" = 66 ] && [ "$(reports)" = 0 ] || fail "log_path: reports on stderr or status $status"
[ "$(grep -c '^WARNING: tavo' "$work"/log.*)" = 1 ] || fail "log_path: no report in $(ls "$work")"
echo "ok: options ($c_compiler)"
