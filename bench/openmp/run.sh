#!/usr/bin/env bash
# OpenMP kernels side by side: plain clang, clang's ThreadSanitizer with its OpenMP tool (libarcher),
# and tavo's front end with clang and with gcc. Wall time (s) and peak memory (MiB) of each run.
#   bench/openmp/run.sh [build dir, default build/release] [threads, default 2]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build/release}" && pwd)"
threads="${2:-2}"
llvm_lib=/usr/lib/llvm-14/lib
work="$(mktemp -d "${TMPDIR:-/tmp}/tavo-openmp-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export OMP_NUM_THREADS="$threads"

measure() {  # label, command...: one run, "seconds MiB"
  local label="$1"; shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || true
  read -r seconds kilobytes < <(tail -n 1 "$work/time")
  printf "  %-22s %7.2f s %7.1f MiB%s\n" "$label" "$seconds" "$(echo "$kilobytes / 1024" | bc -l)" \
    "$(grep -q 'WARNING:' "$work/stderr" && echo '  (reported races)')"
}

echo "OpenMP kernels, $threads threads"
for source in "$here"/*.c; do
  name="$(basename "$source" .c)"
  clang -fopenmp -O2 -g "$source" -o "$work/$name.plain"
  clang -fopenmp -fsanitize=thread -O2 -g "$source" -o "$work/$name.tsan"
  TAVO_CC=clang "$build/frontend/tavocc" -fopenmp -O2 -g "$source" -o "$work/$name.tavo"
  TAVO_CC=gcc "$build/frontend/tavocc" -fopenmp -O2 -g "$source" -o "$work/$name.tavo-gcc"
  echo "$name"
  measure "clang" "$work/$name.plain"
  measure "tsan + archer" env OMP_TOOL_LIBRARIES="$llvm_lib/libarcher.so" \
    TSAN_OPTIONS=ignore_noninstrumented_modules=1 "$work/$name.tsan"
  measure "tavo (clang)" "$work/$name.tavo"
  measure "tavo (gcc)" "$work/$name.tavo-gcc"
done
