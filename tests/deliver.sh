#!/usr/bin/env bash
# The Debian packages of a build directory, installed and removed for real (as root):
#   tests/deliver.sh BUILD_DIR
# 1. cpack builds one package per profile; all of them install together with dpkg -i.
# 2. Every profile's programs, manual page and README are in place; the naval package
#    also has its unit, its environment file (a conffile) and the working directory with
#    the key file; the unit passes systemd-analyze verify.
# 3. The naval service's start and stop: with systemd running, systemctl start and stop;
#    otherwise the unit's ExecStart is run as systemd would (its environment file, its
#    working directory) with the cabinet bus open and nobody on it (a listening slave),
#    and SIGTERM must stop it in order within the unit's TimeoutStopSec.
# 4. dpkg -r leaves only the conffile and the working directory; dpkg --purge leaves
#    nothing of any package.
set -euo pipefail
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
UNIT=/usr/lib/systemd/system/tarvik-naval.service
ENVFILE=/etc/default/tarvik-naval
WORKDIR=/var/lib/tarvik-naval
now() { date +%s.%N; }
calc() { awk "BEGIN { print $* }"; }
fail() { echo "deliver: FAIL: $*" >&2; exit 1; }
step() { echo "deliver: $*"; }

cleanup() {
  [ -n "${CARD_PID:-}" ] && kill -KILL "$CARD_PID" 2>/dev/null || true
  [ -n "${SIM_PID:-}" ] && kill "$SIM_PID" 2>/dev/null || true
  [ -n "${HUB_PID:-}" ] && kill "$HUB_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  # A failed run leaves nothing installed.
  [ -n "${INSTALLED:-}" ] && dpkg --purge "${PKGS[@]}" >/dev/null 2>&1
  [ -n "${SCRATCH:-}" ] && rm -rf "$SCRATCH"
  return 0
}
trap cleanup EXIT
SCRATCH=$(mktemp -d)

step "building the packages"
rm -f "$BUILD"/tarvik-*.deb
(cd "$BUILD" && cpack -G DEB >"$SCRATCH/cpack.log" 2>&1) || { cat "$SCRATCH/cpack.log"; fail "cpack"; }
mapfile -t DEBS < <(ls "$BUILD"/tarvik-*.deb)
[ ${#DEBS[@]} -gt 0 ] || fail "no package built"
PKGS=()
for d in "${DEBS[@]}"; do
  PKGS+=("$(dpkg-deb -f "$d" Package)")
  echo "  $(basename "$d"): $(dpkg-deb -f "$d" Depends)"
done
for p in "${PKGS[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 && fail "$p is installed already; remove it first (dpkg --purge $p)"
done

step "dpkg -i ${PKGS[*]}"
INSTALLED=1
dpkg -i "${DEBS[@]}" >"$SCRATCH/dpkg.log" 2>&1 || { cat "$SCRATCH/dpkg.log"; fail "dpkg -i"; }
for p in "${PKGS[@]}"; do
  dpkg -L "$p" >>"$SCRATCH/files"
  P=${p#tarvik-}
  for f in /usr/bin/tarvik-$P /usr/bin/tarvik-vu-$P /usr/bin/tarvik-panel-$P /usr/bin/tarvik-sniff-$P \
           /usr/bin/tarvik-plant-$P /usr/share/man/man1/tarvik-$P.1 /usr/share/doc/tarvik-$P/README.md; do
    [ -e "$f" ] || fail "$p: $f missing"
  done
  # The installed program runs: too few arguments give the usage line and 255.
  set +e
  "/usr/bin/tarvik-$P" a b 9600 1 >/dev/null 2>"$SCRATCH/usage"
  rc=$?
  set -e
  [ $rc -eq 255 ] || fail "tarvik-$P with four arguments: exit status $rc"
  grep -q "Missing parameter" "$SCRATCH/usage" || fail "tarvik-$P: no usage line"
done

if printf '%s\n' "${PKGS[@]}" | grep -qx tarvik-naval; then
  for f in "$UNIT" "$ENVFILE" "$WORKDIR/Tarvik"; do
    [ -e "$f" ] || fail "tarvik-naval: $f missing"
  done
  dpkg-query --showformat='${Conffiles}\n' --show tarvik-naval | grep -q " $ENVFILE " ||
    fail "$ENVFILE is not a conffile"

  step "systemd-analyze verify $UNIT"
  systemd-analyze verify "$UNIT" >"$SCRATCH/verify.log" 2>&1 || { cat "$SCRATCH/verify.log"; fail "systemd-analyze verify"; }
  # verify may also report on other units of the machine: nothing about ours.
  if grep -i "tarvik" "$SCRATCH/verify.log"; then fail "systemd-analyze verify reports on the unit"; fi

  # What the unit runs, and with what.
  exec_start=$(sed -n 's/^ExecStart=//p' "$UNIT")
  workdir=$(sed -n 's/^WorkingDirectory=//p' "$UNIT")
  stop_timeout=$(sed -n 's/^TimeoutStopSec=//p' "$UNIT")
  [ "$workdir" = "$WORKDIR" ] || fail "WorkingDirectory $workdir"
  [ -n "$stop_timeout" ] || fail "no TimeoutStopSec"
  vars=$(grep -o '\${[A-Z_]*}' <<<"$exec_start" | tr -d '${}')
  [ "$(wc -w <<<"$vars")" -eq 6 ] || fail "ExecStart does not take six arguments: $exec_start"
  for v in $vars; do
    grep -q "^$v=." "$ENVFILE" || fail "$ENVFILE does not set $v"
  done

  # A stand-in module on the module bus; a hub with no other station on the cabinet bus.
  MOD=/dev/ttyTVKdeliverM$$
  CAB=/dev/ttyTVKdeliverC$$
  /usr/bin/tarvik-modulesim-naval --link "$MOD" >"$SCRATCH/sim.log" 2>&1 &
  SIM_PID=$!
  /usr/bin/tarvik-kesphub-naval --port "$CAB" >"$SCRATCH/hub.log" 2>&1 &
  HUB_PID=$!
  for _ in $(seq 50); do [ -e "$MOD" ] && [ -e "$CAB" ] && break; sleep 0.1; done
  [ -e "$MOD" ] && [ -e "$CAB" ] || fail "stand-in module or hub did not start"
  cat >"$SCRATCH/env" <<EOF
TARVIK_MODULE_PORT=$MOD
TARVIK_CABINET_PORT=$CAB
TARVIK_BAUD=115200
TARVIK_CABINET=1
TARVIK_MASK=1100
TARVIK_MODE=false
TARVIK_NO_MACHINE_ACTIONS=1
EOF

  if [ -d /run/systemd/system ]; then
    step "systemctl start/stop tarvik-naval (systemd runs here)"
    mkdir -p /run/systemd/system/tarvik-naval.service.d
    printf '[Service]\nEnvironmentFile=%s\n' "$SCRATCH/env" >/run/systemd/system/tarvik-naval.service.d/test.conf
    systemctl daemon-reload
    systemctl start tarvik-naval
    sleep 4
    systemctl -q is-active tarvik-naval || { journalctl -u tarvik-naval --no-pager | tail -30; fail "not active"; }
    /usr/bin/tarvik-vu-naval --dir "$WORKDIR" >/dev/null || fail "no tree under the service"
    t0=$(now)
    systemctl stop tarvik-naval
    t1=$(now)
    result=$(systemctl show -p Result --value tarvik-naval)
    rm -rf /run/systemd/system/tarvik-naval.service.d
    systemctl daemon-reload
    [ "$result" = success ] || fail "stop result: $result"
  else
    step "no systemd here: the unit's command and stop sequence by hand"
    (
      cd "$workdir"
      set -a
      . "$SCRATCH/env"
      set +a
      eval "exec $exec_start"
    ) >"$SCRATCH/card.log" 2>&1 &
    CARD_PID=$!
    # Running once the module is polled and the tree is there.
    for _ in $(seq 100); do
      /usr/bin/tarvik-vu-naval --dir "$WORKDIR" >/dev/null 2>&1 && grep -q "Running on chroot" "$SCRATCH/card.log" && break
      sleep 0.1
    done
    /usr/bin/tarvik-vu-naval --dir "$WORKDIR" >/dev/null || { cat "$SCRATCH/card.log"; fail "no tree from the card"; }
    sleep 2
    t0=$(now)
    kill -TERM "$CARD_PID"
    # As systemd: wait up to TimeoutStopSec, then SIGKILL.
    deadline=$(calc "$t0 + ${stop_timeout%s}")
    while kill -0 "$CARD_PID" 2>/dev/null && [ "$(calc "$(now) < $deadline")" = 1 ]; do sleep 0.05; done
    t1=$(now)
    if kill -0 "$CARD_PID" 2>/dev/null; then
      kill -KILL "$CARD_PID"
      tail -30 "$SCRATCH/card.log"
      fail "still running ${stop_timeout} after SIGTERM"
    fi
    set +e
    wait "$CARD_PID"
    rc=$?
    set -e
    CARD_PID=
    [ $rc -eq 0 ] || { tail -30 "$SCRATCH/card.log"; fail "exit status $rc after SIGTERM"; }
    grep -q "bye bye" "$SCRATCH/card.log" || fail "no orderly stop in the log"
  fi
  echo "  stopped in $(calc "$t1 - $t0") s (TimeoutStopSec=$stop_timeout)"
  set +e
  /usr/bin/tarvik-vu-naval --dir "$WORKDIR" >/dev/null 2>&1
  rc=$?
  set -e
  [ $rc -eq 1 ] || fail "the card left its segment behind (tarvik-vu-naval: $rc)"
  kill "$SIM_PID" "$HUB_PID" 2>/dev/null || true
  wait "$SIM_PID" "$HUB_PID" 2>/dev/null || true
  SIM_PID= HUB_PID=
fi

step "dpkg -r ${PKGS[*]}"
dpkg -r "${PKGS[@]}" >"$SCRATCH/dpkg.log" 2>&1 || { cat "$SCRATCH/dpkg.log"; fail "dpkg -r"; }
while read -r f; do
  [ -f "$f" ] || continue
  case "$f" in
    "$ENVFILE") ;;
    *) fail "after dpkg -r: $f is still there" ;;
  esac
done < <(sort -u "$SCRATCH/files")
if printf '%s\n' "${PKGS[@]}" | grep -qx tarvik-naval; then
  [ -e "$ENVFILE" ] || fail "dpkg -r removed the conffile"
  [ -e "$WORKDIR/Tarvik" ] || fail "dpkg -r removed the key file"
fi

step "dpkg --purge ${PKGS[*]}"
dpkg --purge "${PKGS[@]}" >"$SCRATCH/dpkg.log" 2>&1 || { cat "$SCRATCH/dpkg.log"; fail "dpkg --purge"; }
while read -r f; do
  [ -d "$f" ] && continue   # shared directories such as /usr/bin stay
  [ -e "$f" ] && fail "after purge: $f is still there"
done < <(sort -u "$SCRATCH/files")
for f in "$ENVFILE" "$WORKDIR" /usr/share/doc/tarvik-naval /usr/share/doc/tarvik-std /usr/share/doc/tarvik-modular; do
  [ -e "$f" ] && fail "after purge: $f is still there"
done
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q " installed$" && fail "$p still known to dpkg"
done
INSTALLED=
step "ok: ${PKGS[*]} installed, run, removed and purged cleanly"
