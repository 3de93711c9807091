#!/bin/sh
# Builds the module-bus reply fuzzer with clang (libFuzzer + address and
# undefined-behaviour sanitizers) for one profile, outside the CMake build.
#   tests/fuzz/build.sh [naval|std|modular] [outdir]
# Run:  <outdir>/duvex_fuzz-<profile> -runs=1000000 tests/fuzz/corpus
set -e
P=${1:-naval}
case $P in naval) ID=1 ;; std) ID=2 ;; modular) ID=3 ;; *) echo "unknown profile $P" >&2; exit 2 ;; esac
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${2:-$ROOT/build-fuzz}
mkdir -p "$OUT"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -DTVK_PROFILE=$ID -DTVK_BUILD_DATE='"fuzz"' -DTVK_GIT_SHA='"fuzz"' \
  -I"$ROOT" -I"$ROOT/Common" -I"$ROOT/DevMgr" -I"$ROOT/DUVEX" $(pkg-config --cflags Qt5Core) -fPIC \
  "$ROOT/tests/fuzz/duvex_fuzz.cpp" "$ROOT/DUVEX/DUVEX.cpp" "$ROOT/Common/crc.cpp" \
  "$ROOT/Common/Log.cpp" "$ROOT/Common/SysClock.cpp" "$ROOT/Common/Globals.cpp" \
  "$ROOT/DevMgr/ComDev.cpp" "$ROOT/DevMgr/TTYDev.cpp" \
  $(pkg-config --libs Qt5Core) -o "$OUT/duvex_fuzz-$P"
echo "$OUT/duvex_fuzz-$P"
