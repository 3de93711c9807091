#!/bin/sh
# Builds the fuzzers with clang (libFuzzer + address and undefined-behaviour
# sanitizers) for one profile, outside the normal build.
#   tests/fuzz/build.sh [naval|std|modular] [outdir] [duvex|kesp|all]
# Prints the path of every fuzzer built, one per line.
#   duvex_fuzz-<profile>      module-bus reply path (a few codec sources)
#   kesp_rcv_fuzz-<profile>   cabinet-bus receive (KESP_Rcv, KESP_RcvReply, KESP_Decode)
#   kesp_data_fuzz-<profile>  cabinet-bus store and answer (KESP_ManageData, KESP_ManageReply)
#   sniff_fuzz-<profile>      bus sniffer decoder (sim/Sniff), both buses; run on tests/fuzz/corpus/sniff
#   qt_fuzz-<profile>         relayed module-bus queries answered (answerQT, DUVEX_BuildReplyOn)
#   cn_fuzz-<profile>         hand-over message and slave commands (KESPMgr::ManageCommand, clock data)
#   vu_fuzz-<profile>         tree reader on a damaged segment (vudump::copyPublished, formatTree)
# The third argument is also one of sniff, qt, cn, vu (that target only).
# The cabinet-bus fuzzers link the whole card library, built here by CMake with
# clang into <outdir>/core-<profile>.
# Run:  <outdir>/duvex_fuzz-<profile> -runs=1000000 tests/fuzz/corpus/duvex
#       <outdir>/kesp_rcv_fuzz-<profile> -runs=1000000 tests/fuzz/corpus/kesp_rcv
#       <outdir>/kesp_data_fuzz-<profile> -runs=1000000 tests/fuzz/corpus/kesp_data
#       <outdir>/qt_fuzz-<profile> -runs=1000000 tests/fuzz/corpus/qt      (likewise cn, vu)
# Seeds of qt, cn and vu are built by the card's own encoders:
#       TVK_FUZZ_WRITE_SEEDS=tests/fuzz/corpus/qt <outdir>/qt_fuzz-<profile>
set -e
P=${1:-naval}
case $P in naval) ID=1 ;; std) ID=2 ;; modular) ID=3 ;; *) echo "unknown profile $P" >&2; exit 2 ;; esac
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${2:-$ROOT/build-fuzz}
WHICH=${3:-all}
mkdir -p "$OUT"
SAN="-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"
CORE="$OUT/core-$P"
INC="-I$ROOT -I$ROOT/Common -I$ROOT/Config -I$ROOT/DevMgr -I$ROOT/Measure -I$ROOT/KESP -I$ROOT/DUVEX"

# The card library built by CMake with clang into <outdir>/core-<profile>.
build_core() {
  cmake -S "$ROOT" -B "$CORE" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTVK_SANITIZE=address -DTVK_TESTS=OFF -DTVK_PROFILES="$P" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined" >/dev/null
  cmake --build "$CORE" --target "tvkcore_$P" -j "${FUZZ_JOBS:-2}" >/dev/null
}


if [ "$WHICH" = duvex ] || [ "$WHICH" = all ]; then
  clang++ -std=c++17 -g -O1 $SAN -DTVK_PROFILE=$ID -DTVK_BUILD_DATE='"fuzz"' -DTVK_GIT_SHA='"fuzz"' \
    -I"$ROOT" -I"$ROOT/Common" -I"$ROOT/DevMgr" -I"$ROOT/DUVEX" $(pkg-config --cflags Qt5Core) -fPIC \
    "$ROOT/tests/fuzz/duvex_fuzz.cpp" "$ROOT/DUVEX/DUVEX.cpp" "$ROOT/Common/crc.cpp" \
    "$ROOT/Common/Log.cpp" "$ROOT/Common/SysClock.cpp" "$ROOT/Common/Globals.cpp" \
    "$ROOT/DevMgr/ComDev.cpp" "$ROOT/DevMgr/TTYDev.cpp" "$ROOT/DevMgr/TTYKernel.cpp" \
    $(pkg-config --libs Qt5Core) -o "$OUT/duvex_fuzz-$P"
  echo "$OUT/duvex_fuzz-$P"
fi

if [ "$WHICH" = kesp ] || [ "$WHICH" = all ]; then
  build_core
  for T in kesp_rcv kesp_data; do
    clang++ -std=c++17 -g -O1 $SAN -DTVK_PROFILE=$ID -DTVK_BUILD_DATE='"fuzz"' -DTVK_GIT_SHA='"fuzz"' \
      $INC $(pkg-config --cflags Qt5Core) -fPIC "$ROOT/tests/fuzz/${T}_fuzz.cpp" "$CORE/libtvkcore_$P.a" \
      $(pkg-config --libs Qt5Core) -lpthread -o "$OUT/${T}_fuzz-$P"
    echo "$OUT/${T}_fuzz-$P"
  done
fi

if [ "$WHICH" = sniff ] || [ "$WHICH" = all ]; then
  build_core
  clang++ -std=c++17 -g -O1 $SAN -DTVK_PROFILE=$ID -DTVK_BUILD_DATE='"fuzz"' -DTVK_GIT_SHA='"fuzz"' \
    -I$ROOT -I$ROOT/Common -I$ROOT/Config -I$ROOT/DevMgr -I$ROOT/Measure -I$ROOT/KESP -I$ROOT/DUVEX -I$ROOT/sim \
    $(pkg-config --cflags Qt5Core) -fPIC "$ROOT/tests/fuzz/sniff_fuzz.cpp" "$ROOT/sim/Sniff.cpp" "$CORE/libtvkcore_$P.a" \
    $(pkg-config --libs Qt5Core) -lpthread -o "$OUT/sniff_fuzz-$P"
  echo "$OUT/sniff_fuzz-$P"
fi

for T in qt cn vu; do
  if [ "$WHICH" = $T ] || [ "$WHICH" = all ]; then
    build_core
    clang++ -std=c++17 -g -O1 $SAN -DTVK_PROFILE=$ID -DTVK_BUILD_DATE='"fuzz"' -DTVK_GIT_SHA='"fuzz"' \
      $INC $(pkg-config --cflags Qt5Core) -fPIC "$ROOT/tests/fuzz/${T}_fuzz.cpp" "$CORE/libtvkcore_$P.a" \
      $(pkg-config --libs Qt5Core) -lpthread -o "$OUT/${T}_fuzz-$P"
    echo "$OUT/${T}_fuzz-$P"
  fi
done
