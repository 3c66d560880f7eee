#!/usr/bin/env bash
# report_case.sh WRAPPERS CC CXX SOURCE WORK FAMILY: builds one report program, runs it, and
# compares its report, normalised, with the golden file NAME.FAMILY.txt beside it; UPDATE=1
# rewrites that. Normalised: process and thread ids, addresses and module offsets, and
# directories of paths.
source "$(dirname "$0")/build_case.sh"
family="$6" name="${name%.*}"
program="$work/$name"
build "$program"
export TAVO_OPTIONS="$(sed -n 's|^// tavo-options: ||p' "$source" | head -1)"
timeout 60 "$program" >/dev/null 2>"$work/$name.err" || { echo "FAIL: $name exits $?"; cat "$work/$name.err"; exit 1; }
sed -E -e 's/(pid|tid)=[0-9]+/\1=N/g' -e 's/0x[0-9a-f]+/0x?/g' -e 's#/[^ :()]*/##g' "$work/$name.err" >"$work/$name.txt"
golden="${source%.*}.$family.txt"
if [ "${UPDATE:-0}" = 1 ]; then cp "$work/$name.txt" "$golden"; fi
diff -u "$golden" "$work/$name.txt" || { echo "FAIL: $name ($family) differs from $(basename "$golden")"; exit 1; }
# The same run for tools: json lines and a SARIF log, each in its log_path file.
rm -f "$work/$name".json.* "$work/$name".sarif.*
TAVO_OPTIONS="$TAVO_OPTIONS format=json log_path=$work/$name.json" "$program" >/dev/null 2>&1
TAVO_OPTIONS="$TAVO_OPTIONS format=sarif log_path=$work/$name.sarif" "$program" >/dev/null 2>&1
python3 "$(dirname "$0")/check_formats.py" "$work/$name".json.* "$work/$name".sarif.* \
  "$(dirname "$0")/reports/sarif-2.1.0-rtm.5.json" || { echo "FAIL: $name ($family) json or sarif output"; exit 1; }
echo "ok: $name ($family)"
