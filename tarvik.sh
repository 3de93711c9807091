#!/usr/bin/env bash
# Tarvik build and run helper.
#   ./tarvik.sh plant  install what is missing, build, run the simulated plant (default: four naval
#                      cabinets; options go to tarvik-plant-<profile>, e.g. --scenario FILE)
#   ./tarvik.sh demo   install what is missing, build, start a simulated card and show its tree
#   ./tarvik.sh test   install what is missing, build every profile from scratch and run every test
#                      (with a short part of the fault matrix, about 75 s)
#                      (normal build, then AddressSanitizer+UBSan build, then ThreadSanitizer build)
#   ./tarvik.sh tsan   only the tests under ThreadSanitizer
#   ./tarvik.sh model  only the model check of the cabinet-bus threads (spin)
#   ./tarvik.sh fuzz   only the short pass of the fuzzers
#   ./tarvik.sh bench  the module-bus round bench (real card against a paced stand-in module)
#   ./tarvik.sh faults the fault matrix against a simulated four-cabinet plant (about 8 minutes;
#                      options go to tarvik-faultmatrix-naval, e.g. --rows M1,K7 or --list)
#   ./tarvik.sh soak [SECONDS]  a day of one card compressed through the time seam (6 minutes),
#                      then a four-cabinet plant for SECONDS of real time (default 1800): memory,
#                      CPU, descriptors and threads of every card (more options: tarvik-soak-naval)
# Delivery (see the README's "Delivery"):
#   ./tarvik.sh deb    Debian packages of every profile, installed, run, stopped and purged
#   ./tarvik.sh armhf  32-bit ARM cross build of the naval card and its tests under qemu-user
#   ./tarvik.sh qt6    the naval card and its tests built against Qt 6 Core
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=$(nproc)

need_pkgs() { # extra packages...
  local missing=()
  for p in cmake ninja-build g++ qtbase5-dev libgtest-dev pkg-config "$@"; do
    # A package installed for a second architecture too (the armhf libraries of
    # ./tarvik.sh armhf) must be named with this machine's architecture.
    dpkg -s "$p" >/dev/null 2>&1 || dpkg -s "$p:$(dpkg --print-architecture)" >/dev/null 2>&1 ||
      missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

configure_build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_tests() { # dir
  ctest --test-dir "$1" --output-on-failure -j "$JOBS" --timeout 300
}

tsan_tests() {
  rm -rf build-tsan
  configure_build build-tsan -DTVK_SANITIZE=thread -DTVK_PROFILES=naval
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/tests/tsan.supp" run_tests build-tsan
}

# A short pass of every fuzzer over its corpus (a few seconds per target and
# profile, naval and modular; the sniffer's decoder in naval); new inputs go to a
# scratch directory, not into the tree. About 2 minutes with the builds.
fuzz_one() { # target profile seconds max_len
  local scratch
  scratch=$(mktemp -d)
  "$ROOT/build-fuzz/${1}_fuzz-$2" -max_total_time="$3" -max_len="$4" "$scratch" "$ROOT/tests/fuzz/corpus/$1" \
    >"$scratch.log" 2>&1 || { tail -n 40 "$scratch.log"; rm -rf "$scratch" "$scratch.log"; return 1; }
  grep -E "^Done" "$scratch.log" | sed "s/^/${1}_fuzz-$2: /"
  rm -rf "$scratch" "$scratch.log"
}

fuzz_pass() {
  if ! command -v clang++ >/dev/null 2>&1; then
    echo "clang++ not installed: fuzz pass skipped"
    return 0
  fi
  for P in naval modular; do
    FUZZ_JOBS=$JOBS sh "$ROOT/tests/fuzz/build.sh" "$P" "$ROOT/build-fuzz" all >/dev/null
    fuzz_one kesp_rcv "$P" 5 2200
    fuzz_one kesp_data "$P" 5 2200
    fuzz_one duvex "$P" 3 600
    fuzz_one qt "$P" 3 300
    fuzz_one cn "$P" 3 1024
    fuzz_one vu "$P" 3 8192
  done
  fuzz_one sniff naval 5 4096
}

# The model of the cabinet-bus threads and mutexes, checked with spin (seconds).
model_check() {
  if ! command -v spin >/dev/null 2>&1; then
    echo "spin not installed: model check skipped"
    return 0
  fi
  local work
  work=$(mktemp -d)
  "$ROOT/tests/model/check.sh" "$work" || { rm -rf "$work"; return 1; }
  rm -rf "$work"
}

# Sanitizers by profile. What runs where:
#   naval          AddressSanitizer+UBSan: the whole suite (build-asan, in `test`);
#                  ThreadSanitizer: the whole suite (tsan_tests)
#   std, modular   AddressSanitizer+UBSan: the tests of the code that differs by
#                  profile (PROFILE_TESTS: every test file with profile switches but
#                  the three-card relay plant, which the naval build runs; and the
#                  card programs they start), one build for both profiles
#                  (asan_profiles); ThreadSanitizer: the threaded ones among them, in
#                  the modular build (tsan_modular), so the modular-only code paths
#                  (GE, the modular aggregation and system commands, the reduced
#                  records) run under both sanitizers
#   naval, modular the fuzzers under AddressSanitizer+UBSan (fuzz_pass)
PROFILE_TESTS="aggregate cmdline comdev duvexaccess duvexcmds duvexcodec duvexdata duvexmgr duvexreply
  kespcatalogue kespdata kespmgr kespstations modulesim records sysaggregate systemmgr vujson vureader"
PROFILE_TSAN_TESTS="duvexaccess duvexcmds duvexdata duvexmgr kespcatalogue kespmgr sysaggregate systemmgr"

build_profile_tests() { # dir sanitizer "profiles" "tests"
  local dir=$1 san=$2 profiles=$3 tests=$4 targets=() P T
  cmake -S "$ROOT" -B "$dir" -G Ninja -DTVK_SANITIZE="$san" -DTVK_PROFILES="${profiles// /;}" >/dev/null
  for P in $profiles; do
    targets+=("tarvik-$P" "tarvik-vu-$P" "tarvik-panel-$P")
    for T in $tests; do targets+=("${T}_test_$P"); done
  done
  cmake --build "$dir" -j "$JOBS" --target "${targets[@]}"
}

asan_profiles() {
  rm -rf build-asan-profiles
  build_profile_tests build-asan-profiles address "std modular" "$PROFILE_TESTS"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan-profiles --output-on-failure -j "$JOBS" --timeout 300 -E "_NOT_BUILT"
}

tsan_modular() {
  rm -rf build-tsan-modular
  build_profile_tests build-tsan-modular thread modular "$PROFILE_TSAN_TESTS"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/tests/tsan.supp" \
    ctest --test-dir build-tsan-modular --output-on-failure -j "$JOBS" --timeout 300 -E "_NOT_BUILT"
}

# Delivery builds keep their own directories and may use ccache when it is there.
ccache_args() {
  if command -v ccache >/dev/null 2>&1; then
    echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
  fi
}

armhf_pkgs() {
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    apt-get update -qq
  fi
  need_pkgs crossbuild-essential-armhf qemu-user qtbase5-dev:armhf libgtest-dev:armhf
}

# The fault matrix (naval cards; the standard build for the card of another build).
fault_matrix() {
  configure_build build -DTVK_TESTS=OFF -DTVK_PROFILES="naval;std"
  "$ROOT/build/tarvik-faultmatrix-naval" "$@"
}

# A short part of the fault matrix for the test command (about 75 s): bad CRCs
# and a vanishing port on the module bus, a break storm and a vanishing port on the
# cabinet bus, a card killed and restarted. The whole matrix: ./tarvik.sh faults.
fault_matrix_short() { # build dir
  "$1/tarvik-faultmatrix-naval" --rows M3,M6,K7,K8,P1
}

# The soak: first a day of one card compressed through the time seam (in-process,
# about 6 minutes), then the four-card plant in real time (the card processes keep
# the real clocks) with the plant's events compressed.
soak_run() {
  local secs=${1:-1800}
  [ $# -gt 0 ] && shift
  cmake -S "$ROOT" -B build -G Ninja -DTVK_TESTS=ON >/dev/null
  cmake --build build -j "$JOBS" --target tarvik-naval tarvik-soak-naval soak_test_naval
  TVK_SOAK_HOURS=24 "$ROOT/build/soak_test_naval" --gtest_also_run_disabled_tests 2>&1 | grep -v -- '-> \['
  "$ROOT/build/tarvik-soak-naval" --duration "$secs" "$@"
}

case "${1:-}" in
  deb)
    need_pkgs dpkg-dev systemd
    # shellcheck disable=SC2046
    configure_build build-deb -DTVK_TESTS=OFF -DTVK_PROFILES="naval;std;modular" \
      -DCMAKE_INSTALL_PREFIX=/usr $(ccache_args)
    "$ROOT/tests/deliver.sh" "$ROOT/build-deb"
    ;;
  armhf)
    armhf_pkgs
    # shellcheck disable=SC2046
    configure_build build-armhf -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/armhf.cmake" -DTVK_PROFILES=naval $(ccache_args)
    file "$ROOT/build-armhf/tarvik-naval" | grep -q "ELF 32-bit LSB .* ARM" || { echo "not an armhf program" >&2; exit 1; }
    # Suites labelled "spawns" start ARM programs from an emulated test: not here. Nor the
    # serial-read test that counts the reading thread's wake-ups: under emulation they
    # include the emulator's own.
    ctest --test-dir build-armhf --output-on-failure -j "$JOBS" --timeout 600 -LE spawns \
      -E 'TtydRead\.PacedReplyWakesPerStepNotPerByte'
    ;;
  qt6)
    need_pkgs qt6-base-dev
    # shellcheck disable=SC2046
    configure_build build-qt6 -DTVK_QT=6 -DTVK_PROFILES=naval $(ccache_args)
    run_tests build-qt6
    ;;
  test)
    # clang with its runtime builds the fuzzers of the short fuzz pass.
    # spin checks the model of the cabinet-bus threads.
    need_pkgs clang libclang-rt-14-dev tshark spin
    rm -rf build build-asan
    configure_build build
    run_tests build
    # Plant captures read by tshark with the Wireshark dissector (about 25 s).
    "$ROOT/tests/sniff_tshark.sh" "$ROOT/build"
    fault_matrix_short "$ROOT/build"
    configure_build build-asan -DTVK_SANITIZE=address -DTVK_PROFILES=naval
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests build-asan
    asan_profiles
    fuzz_pass
    model_check
    tsan_tests
    tsan_modular
    ;;
  tsan)
    need_pkgs
    tsan_tests
    ;;
  model)
    need_pkgs spin
    model_check
    ;;
  fuzz)
    need_pkgs clang libclang-rt-14-dev
    fuzz_pass
    ;;
  bench)
    need_pkgs
    configure_build build -DTVK_TESTS=OFF
    exec "$ROOT/build/tarvik-roundbench-naval" "${@:2}"
    ;;
  plant)
    need_pkgs
    # Every profile: --profile and --card X=PROFILE pick any of them.
    configure_build build -DTVK_TESTS=OFF -DTVK_PROFILES="naval;std;modular"
    exec "$ROOT/build/tarvik-plant-naval" "${@:2}"
    ;;
  faults)
    need_pkgs
    fault_matrix "${@:2}"
    ;;
  soak)
    need_pkgs
    soak_run "${@:2}"
    ;;
  demo)
    need_pkgs
    configure_build build -DTVK_TESTS=OFF
    exec "$ROOT/tools/demo.sh" "$ROOT/build" "${@:2}"
    ;;
  *)
    echo "usage: $0 plant|demo|test|tsan|model|fuzz|bench|faults|soak|deb|armhf|qt6" >&2
    exit 2
    ;;
esac
