#!/usr/bin/env bash
# The four hot-path patterns side by side: ns per access plain, under ThreadSanitizer and under tavo,
# the ratio tavo / ThreadSanitizer, and shadow bytes per granule touched (peak resident memory over
# the plain build's). The last rows give the memory with 2 and 8 tasks reading the same granules.
#   bench/hotpath/run.sh DIR   (DIR holds hotpath_plain, hotpath_tsan and hotpath_tavo)
set -euo pipefail
dir="$1"
# The fastest of three runs: the machine may be shared.
run() {
  for _ in 1 2 3; do "$dir/hotpath_$1" "${@:2}"; done | sort -k2,2g | head -n 1
}
printf "%-26s %8s %8s %8s %10s %14s %14s\n" pattern plain tsan tavo tavo/tsan "tsan B/gran" "tavo B/gran"
row() {  # label, pattern, threads
  read -r _ plain plain_kib granules < <(run plain "$2" "$3")
  read -r _ tsan tsan_kib _ < <(run tsan "$2" "$3")
  read -r _ tavo tavo_kib _ < <(run tavo "$2" "$3")
  awk -v l="$1" -v p="$plain" -v s="$tsan" -v t="$tavo" -v pk="$plain_kib" -v sk="$tsan_kib" -v tk="$tavo_kib" \
      -v g="$granules" 'BEGIN {
        per = g > 1 ? sprintf("%14.1f %14.1f", (sk - pk) * 1024 / g, (tk - pk) * 1024 / g) : sprintf("%14s %14s", "-", "-")
        printf "%-26s %8.2f %8.2f %8.2f %10.1f %s\n", l, p, s, t, t / s, per }'
}
row "repeat one word" repeat 1
row "stream 2M fresh granules" fresh 1
row "2 threads, own 2 MiB x4" own 2
row "2 threads, shared 2 MiB x4" shared 2
row "8 threads, shared 2 MiB x4" shared 8
