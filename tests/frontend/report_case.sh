#!/usr/bin/env bash
# report_case.sh WRAPPERS CC CXX SOURCE WORK FAMILY EXTENSION, on a racy program (a race in
# deposit(), called from locked_deposit() on one side): builds it, runs it, and compares its gcc
# report, normalised, with the golden file NAME.gcc.txt beside it; UPDATE=1 rewrites that.
# Normalised: process and thread ids, addresses and module offsets, and directories of paths.
source "$(dirname "$0")/build_case.sh"
family="$6" extension="$7" name="${name%.*}"
program="$work/$name"
build "$program"
export TAVO_OPTIONS="$(sed -n 's|^// tavo-options: ||p' "$source" | head -1)"
timeout 60 "$program" >/dev/null 2>"$work/$name.err" || { echo "FAIL: $name exits $?"; cat "$work/$name.err"; exit 1; }
sed -E -e 's/(pid|tid)=[0-9]+/\1=N/g' -e 's/0x[0-9a-f]+/0x?/g' -e 's#/[^ :()]*/##g' "$work/$name.err" >"$work/$name.txt"
# Clang's report is the README's sample, which the readme test compares with what it says.
golden="${source%.*}.gcc.txt"
if [ "$family" = gcc ]; then
  if [ "${UPDATE:-0}" = 1 ]; then cp "$work/$name.txt" "$golden"; fi
  diff -u "$golden" "$work/$name.txt" || { echo "FAIL: $name ($family) differs from $(basename "$golden")"; exit 1; }
fi
# The same run for tools: json lines and a SARIF log, each in its log_path file.
rm -f "$work/$name".json.* "$work/$name".sarif.*
TAVO_OPTIONS="$TAVO_OPTIONS format=json log_path=$work/$name.json" "$program" >/dev/null 2>&1
TAVO_OPTIONS="$TAVO_OPTIONS format=sarif log_path=$work/$name.sarif" "$program" >/dev/null 2>&1
python3 "$(dirname "$0")/check_formats.py" "$work/$name".json.* "$work/$name".sarif.* \
  "$(dirname "$0")/reports/sarif-2.1.0-rtm.5.json" || { echo "FAIL: $name ($family) json or sarif output"; exit 1; }
# TAVO_OPTIONS end to end (the parser itself is entries_test's): suppressions files matched against
# any frame, warnings for names that match nothing, every detection or each race once beside an
# unknown option, a stop at the first detection with the configured status, reports to a log file. Then, under gdb with the extension, a detection stop shows
# the front end's report: both stacks, the memory, the lock held and the threads; read from memory,
# as gdb cannot call functions in the program on some CPUs.
fail() { echo "FAIL: $*"; echo "--- stderr:"; cat "$work/err"; exit 1; }
run() { TAVO_OPTIONS="$1" "$program" >/dev/null 2>"$work/err"; status=$?; }
reports() { grep -c '^WARNING: tavo' "$work/err"; }

printf '# known\n\n  race:locked_*  \nthread:x\nnonsense\n' >"$work/deep.supp"
printf 'race_top:no_such_function_anywhere\ncalled_from_lib:libnothing.so\n' >"$work/unmatched.supp"

run "exitcode=3,suppressions=$work/deep.supp"
[ "$status" = 0 ] && [ "$(reports)" = 0 ] || fail "a pattern on a caller of the earlier access does not suppress"
grep -q "deep.supp:4: suppression type 'thread' not used" "$work/err" && grep -q "deep.supp:5: expected type:pattern" "$work/err" ||
  fail "bad lines of a suppressions file not named"
run "exitcode=3:suppressions='$work/unmatched.supp'"
[ "$(grep -c "'race_top:no_such_function_anywhere' matches no function or module" "$work/err")" = 1 ] || fail "no single warning for race_top:"
[ "$(grep -c "matches no loaded module" "$work/err")" = 1 ] || fail "no single warning for called_from_lib:"
[ "$status" = 3 ] && [ "$(reports)" = 1 ] || fail "an unmatched suppression suppressed"
run "suppress='no_such_function_anywhere,deposit' exitcode=0"
[ "$(grep -c "names no function of the program: 'no_such_function_anywhere'" "$work/err")" = 1 ] || fail "suppress= warning"
[ "$(reports)" = 0 ] || fail "suppress= by function"
run "dedupe=0 colour=1 exitcode=0"
grep -q "^tavo: unknown option 'colour' in TAVO_OPTIONS; valid options: tsm=0|1 .* log_path=PREFIX$" "$work/err" || fail "no error for an unknown option"
detections="$(sed -n 's/^tavo: reported [0-9]* data sharing (\([0-9]*\) detections*).*/\1/p' "$work/err")"
[ -n "$detections" ] && [ "$(reports)" = "$detections" ] || fail "dedupe=0 prints $(reports) of '$detections' detections"
run "halt_on_error=1:dedupe=0:exitcode=3"
[ "$status" = 3 ] && [ "$(reports)" = 1 ] || fail "halt_on_error=1 does not stop at the first of two detections with its status"
rm -f "$work"/log.*
run "log_path=$work/log"
[ "$status" = 66 ] && [ "$(reports)" = 0 ] || fail "log_path: reports on stderr or status $status"
[ "$(grep -c '^WARNING: tavo' "$work"/log.*)" = 1 ] || fail "log_path: no report in $(ls "$work")"

timeout 120 gdb -q -nx -batch -iex "set debuginfod enabled off" -ex "set may-call-functions off" -ex "source $extension" \
  -ex "tavo enable tsm" -ex run -ex kill "$program" >"$work/err" 2>&1
for line in '^tavo: data sharing detected' '^  Previous write of 8 bytes at 0x[0-9a-f]* by thread T1 \(mutexes: write M1\):$' \
    '^    #1 locked_deposit .*locked_global.c:21' '^  Location is global .balance. of size 8' \
    '^  Mutex M1 .* locked by thread T1 at:$' '^  Thread T2 \(tid=[0-9]*, running\) created by main thread at:$'; do
  grep -Eq "$line" "$work/err" || fail "no line matching '$line' under gdb"
done
echo "ok: $name ($family): report, formats, options and the report under gdb"
