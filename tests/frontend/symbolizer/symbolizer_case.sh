#!/usr/bin/env bash
# Symbolization that never switches itself off, on a C++ program whose names are thousands of
# characters long: every frame is named and has a line, std::thread's inlined frames included, and
# the memory is named as the main thread's stack; a symbolizer that dies after each answer gives
# the same report; with no symbolizer the run warns once and still names every function.
source "$(dirname "$0")/../build_case.sh"
program="$work/long_names"
build "$program"
fail() { echo "FAIL: $*"; exit 1; }
normalise() { sed -E -e 's/pid=[0-9]+/pid=N/' -e 's/tid=[0-9]+/tid=N/g' -e 's/0x[0-9a-f]+/0x?/g' "$1"; }
frames() { grep -E '^    #[0-9]+ ' "$1"; }

TAVO_OPTIONS=exitcode=0 "$program" >/dev/null 2>"$work/plain.err"
frames "$work/plain.err" | grep -q ' ?? ' && fail "a frame is not symbolized"
frames "$work/plain.err" | grep -qE ':0(:|$| )' && fail "a frame has line 0"
[ "$(awk 'length($0) > 2048' "$work/plain.err" | wc -l)" -ge 2 ] || fail "the long name is cut"
[ "$(frames "$work/plain.err" | grep -c 'long_names.cpp:[1-9]')" -ge 6 ] || fail "the program's lines are missing"
[ "$(frames "$work/plain.err" | grep -c '/std_thread.h:[1-9]')" -ge 4 ] || fail "inlined frames are missing"
grep -q '^  Location is the stack of main thread$' "$work/plain.err" || fail "the main thread's stack is not named"

printf '#!/bin/sh\nread -r request\nprintf "%%s\\n" "$request" | llvm-symbolizer\n' >"$work/dying_symbolizer"
chmod +x "$work/dying_symbolizer"
TAVO_OPTIONS="exitcode=0 symbolizer=$work/dying_symbolizer" "$program" >/dev/null 2>"$work/dying.err"
diff <(normalise "$work/plain.err") <(normalise "$work/dying.err") || fail "a dying symbolizer changes the report"

TAVO_OPTIONS="exitcode=0 symbolizer=$work/no_such_symbolizer" "$program" >/dev/null 2>"$work/missing.err"
[ "$(grep -c 'cannot run the symbolizer' "$work/missing.err")" = 1 ] || fail "no single warning without a symbolizer"
frames "$work/missing.err" | grep -q ' ?? ' && fail "a function is not named without a symbolizer"
grep -q '#0 void account_for_every_leaf<std::pair<' "$work/missing.err" || fail "the long name is not demangled from the symbol table"
grep -q '#1 second_caller(long&) (long_names+' "$work/missing.err" || fail "callers are not named from the symbol table"
echo "ok: symbolization ($cxx_compiler)"
