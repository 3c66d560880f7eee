# Sourced by the case scripts, whose first arguments are: the wrappers' folder, the C and C++
# compilers, the source and a work folder. build OUT [FLAGS...] compiles the source with
# tavocc/tavoc++ (TAVO_CASE_FLAGS: more options); a failed build fails the case.
set -uo pipefail
wrappers="$1" c_compiler="$2" cxx_compiler="$3" source="$4" work="$5"
name="$(basename "$source")"
mkdir -p "$work"
read -ra extra_flags <<<"${TAVO_CASE_FLAGS:-}"
build() {
  local out="$1"; shift
  case "$source" in
    *.c) TAVO_CC="$c_compiler" "$wrappers/tavocc" -std=c11 -g -O1 "${extra_flags[@]}" "$@" "$source" -o "$out" -lpthread ;;
    *) TAVO_CXX="$cxx_compiler" "$wrappers/tavoc++" -std=c++17 -g -O1 "${extra_flags[@]}" "$@" "$source" -o "$out" ;;
  esac || { echo "FAIL: $name $* does not build"; exit 1; }
}
