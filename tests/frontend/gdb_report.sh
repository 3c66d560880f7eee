#!/usr/bin/env bash
# Under gdb with the extension, a detection stop in a program built with the front end shows the
# front end's report: both stacks, the memory, the lock held and the threads; read from memory, as gdb
# cannot call functions in the program on some CPUs.
set -uo pipefail
wrappers="$1" c_compiler="$2" source="$3" extension="$4" work="$5"
mkdir -p "$work"
program="$work/racy"
TAVO_CC="$c_compiler" "$wrappers/tavocc" -std=c11 -g -O1 "$source" -o "$program" -lpthread || { echo "FAIL: does not build"; exit 1; }
output="$(timeout 120 gdb -q -nx -batch -iex "set debuginfod enabled off" -ex "set may-call-functions off" -ex "source $extension" -ex "tavo enable tsm" \
  -ex run -ex kill "$program" 2>&1)"
for line in '^tavo: data sharing detected' '^  Previous write of 8 bytes at 0x[0-9a-f]* by thread T1 \(mutexes: write M1\):$' \
    '^    #1 locked_deposit .*locked_global.c:21' '^  Location is global .balance. of size 8' \
    '^  Mutex M1 .* locked by thread T1 at:$' '^  Thread T2 \(tid=[0-9]*, running\) created by main thread at:$'; do
  grep -Eq "$line" <<<"$output" || { echo "FAIL: no line matching '$line' in:"; echo "$output"; exit 1; }
done
echo "ok: the detection stop shows the front end's report"
