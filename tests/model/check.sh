#!/bin/sh
# Checks the model of the cabinet-bus threads and mutexes (cabinetbus.pml) with spin:
# every interleaving, for deadlock (invalid end states) and for the assertions (one
# user of the line at a time, the channel's holder only; the lock order; unlock by
# the holder). Then each faulty variant, which the check must reject, so that a
# model that can no longer find faults does not pass unseen.
#   tests/model/check.sh [workdir]
# Prints one line per run (states explored, seconds); exit status 1 on any failure.
set -e
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=${1:-$(mktemp -d)}
mkdir -p "$WORK"
cd "$WORK"
cp "$HERE/cabinetbus.pml" .
# Turns of the two bus threads: every thread meets every other one in each role.
TURNS="-DBUS_TURNS=2 -DDBUS_TURNS=1"

run() { # name expect(pass|fail) reason-of-the-failure spin-defines...
  name=$1; expect=$2; reason=$3; shift 3
  rm -f pan pan.* ./*.trail
  spin -a $TURNS "$@" cabinetbus.pml </dev/null >/dev/null
  gcc -O2 -w -o pan pan.c -DSAFETY -DCOLLAPSE
  start=$(date +%s.%N)
  ./pan -m100000 >out.txt 2>&1 || true
  secs=$(echo "$(date +%s.%N) - $start" | bc)
  errors=$(sed -n 's/.*errors: \([0-9]*\).*/\1/p' out.txt)
  states=$(sed -n 's/^ *\([0-9.e+]*\) states, stored.*/\1/p' out.txt)
  printf '%s: errors %s, %s states, %.1f s\n' "$name" "${errors:-?}" "${states:-?}" "$secs"
  if [ "$expect" = pass ] && [ "$errors" != 0 ]; then
    grep -E "pan:|assertion|invalid end" out.txt | head -5
    [ -f cabinetbus.pml.trail ] && spin -t -p cabinetbus.pml | tail -40
    return 1
  fi
  if [ "$expect" = fail ] && ! grep -q "pan:1: $reason" out.txt; then
    echo "$name: the faulty variant was not rejected for its fault ($reason)"
    return 1
  fi
  return 0
}

run model pass -
run wrong-order fail "invalid end state" -DWRONG_ORDER -DNO_ORDER_CHECK
run break-off-channel fail "assertion violated (lineUsers==0)" -DBREAK_OFF_CHANNEL
