#!/usr/bin/env bash
# Builds one corpus program with tavocc/tavoc++ and one compiler pair, runs it, and checks its
# verdict against the markers in the source:
#   "// tavo: clean"      the run reports nothing and exits 0;
#   "// tavo: racy"       the run exits 66 and reports data sharing; every file:line it names in
#                         the program is a line marked "// race", and it names at least two of
#                         them (all of them when fewer are marked);
#   "// tavo: reentrant"  the run exits 66 and reports a reentrant call made on a line marked
#                         "// reentrant call";
#   "// tavo-options: ..." the value of TAVO_OPTIONS for the run;
#   "// tavo-reports: N"  the number of reports it must print;
#   "// tavo-expect: TEXT" a line the report must contain (one marker per line);
#   "// tavo-absent: TEXT" text no report may contain;
#   "// tavo-fixed"       the program built again with -DFIXED is clean (its racy lines mended).
source "$(dirname "$0")/build_case.sh"
program="$work/${name%.*}"
# TAVO_CASE_THREADS: OpenMP team sizes to run it with; TAVO_CASE_RUNNER: what runs the program
# (wine); TAVO_CASE_FILTER: what the report goes through before it is read (tavo-symbolize).
read -ra runner <<<"${TAVO_CASE_RUNNER:-}"
read -ra report_filter <<<"${TAVO_CASE_FILTER:-cat}"
build "$program" -Wall -Werror
variants=("$program")
if grep -q '^// tavo-fixed$' "$source"; then build "$program.fixed" -Wall -Werror -DFIXED=FIXED; variants+=("$program.fixed"); fi

source_verdict="$(sed -n 's|^// tavo: \([a-z]*\)$|\1|p' "$source" | head -1)"
export TAVO_OPTIONS="$(sed -n 's|^// tavo-options: ||p' "$source" | head -1)"
expected_reports="$(sed -n 's|^// tavo-reports: ||p' "$source" | head -1)"
for program in "${variants[@]}"; do
verdict="$source_verdict"
[ "$program" = "${variants[0]}" ] || verdict=clean
for threads in ${TAVO_CASE_THREADS:-default}; do
[ "$threads" = default ] || export OMP_NUM_THREADS="$threads"
timeout 60 "${runner[@]}" "$program" >"$work/${name}.out" 2>"$work/${name}.err"
status=$?
report="$("${report_filter[@]}" <"$work/${name}.err")"
fail() { echo "FAIL: ${program##*/} ($c_compiler/$cxx_compiler, threads $threads): $*"; echo "--- stderr:"; echo "$report"; exit 1; }

# Lines of the program a report names, and lines the source marks.
# A report's access stacks start at their "Read/Write/... of" lines and end at the next section;
# their innermost frames (#0) name the lines of the accesses, a reentrant call's its call site.
named_lines() {
  awk '/^  [A-Z]/ { inside = /^  (Previous |)[A-Za-z ]* of [0-9]+ bytes/ || /^  Called at/ } inside && /^    #0 /' <<<"$report" |
    grep -o "/${name//./\\.}:[0-9]*" | sed 's/.*://' | sort -u
}
marked_lines() { grep -n "// $1\$" "$source" | cut -d: -f1 | sort -u; }

[ "$verdict" = clean ] || [ "$status" = 66 ] || fail "exit status $status, expected 66"
case "$verdict" in
  clean)
    [ "$status" = 0 ] || fail "exit status $status, expected 0"
    ! grep -q "WARNING: tavo" <<<"$report" || fail "a race-free program was reported"
    ;;
  racy)
    grep -q "WARNING: tavo: data sharing" <<<"$report" || fail "no data sharing reported"
    named="$(named_lines)"
    marked="$(marked_lines race)"
    unexpected="$(comm -23 <(echo "$named") <(echo "$marked"))"
    [ -z "$unexpected" ] || fail "reported lines not marked as racy: $unexpected"
    want=$(( $(wc -l <<<"$marked") < 2 ? $(wc -l <<<"$marked") : 2 ))
    [ -n "$named" ] && [ "$(wc -l <<<"$named")" -ge "$want" ] || fail "reported lines '$named', expected $want of '$marked'"
    ;;
  reentrant)
    grep -q "WARNING: tavo: reentrant call of" <<<"$report" || fail "no reentrant call reported"
    named="$(named_lines)"
    marked="$(marked_lines "reentrant call")"
    [ -n "$named" ] && [ -z "$(comm -23 <(echo "$named") <(echo "$marked"))" ] || fail "call site '$named', expected '$marked'"
    ;;
  *) fail "no verdict marker" ;;
esac
if [ -n "$expected_reports" ] && [ "$verdict" != clean ]; then
  reports="$(grep -c "^WARNING: tavo" <<<"$report")"
  [ "$reports" = "$expected_reports" ] || fail "$reports reports, expected $expected_reports"
fi
while IFS= read -r text; do
  grep -qF -- "$text" <<<"$report" || fail "the report does not say '$text'"
done < <([ "$verdict" = clean ] || sed -n 's|^// tavo-expect: ||p' "$source")
while IFS= read -r text; do
  ! grep -qF -- "$text" <<<"$report" || fail "the report says '$text'"
done < <(sed -n 's|^// tavo-absent: ||p' "$source")
echo "ok: ${program##*/} ($c_compiler/$cxx_compiler, threads $threads): $verdict"
done
done
