#!/usr/bin/env bash
# install_test.sh BUILD_DIR GENERATOR: installs the build into a prefix, moves the prefix, and uses
# it from there as a user would: a CMake project and a pkg-config build against the library, the
# compiler wrappers, and gdb's auto-load of the extension.
set -euo pipefail
build=$1
generator=$2
source=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
prefix=$work/moved
libdir=$(dirname "$(find "$prefix" -name 'libtavo.so.*.*.*' ! -name '*.py')")
expected="configuration version 3, sync id 1"

fail() { echo "FAIL: $*" >&2; exit 1; }
check_output() {  # what, expected text, command...
  local what=$1 text=$2 output
  shift 2
  output=$("$@" 2>&1) || fail "$what exited with $?: $output"
  grep -qF -- "$text" <<<"$output" || fail "$what did not print '$text': $output"
}

readelf -d "$libdir/libtavo.so" | grep -q 'SONAME.*\[libtavo\.so\.[0-9]*\]' || fail "libtavo.so has no versioned soname"

cmake -S "$source/consumer" -B "$work/cmake" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
check_output "the CMake consumer" "$expected" "$work/cmake/consumer"

flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs tavo)
# shellcheck disable=SC2086
cc "$source/consumer/consumer.c" $flags -Wl,-rpath,"$libdir" -o "$work/pkg-config-consumer"
check_output "the pkg-config consumer" "$expected" "$work/pkg-config-consumer"

# The wrappers find the front end beside them after the move; with no input they say so.
check_output "tavocc --version" "tavocc (tavo)" "$prefix/bin/tavocc" --version
check_output "tavoc++ --help" "usage: tavoc++" "$prefix/bin/tavoc++" --help
if "$prefix/bin/tavocc" >"$work/none" 2>&1; then fail "tavocc with no input succeeded"; fi
grep -qF "tavocc: no input files" "$work/none" || fail "tavocc with no input: $(cat "$work/none")"
printf '#include <stdio.h>\nint main(void) { puts("wrapped"); return 0; }\n' >"$work/wrapped.c"
"$prefix/bin/tavocc" -O1 "$work/wrapped.c" -o "$work/wrapped"
check_output "a program built with tavocc" "wrapped" "$work/wrapped"

# gdb auto-loads the extension beside the library; tavo-gdb finds it in the prefix.
check_output "gdb's auto-load" "tavo: loaded" gdb -q -nx -batch -iex "set debuginfod enabled off" \
  -iex "add-auto-load-safe-path $prefix" -ex "break main" -ex run -ex "tavo status" "$work/cmake/consumer"
check_output "tavo-gdb" "tavo: no detection" "$prefix/bin/tavo-gdb" "$work/cmake/consumer"
echo "ok"
