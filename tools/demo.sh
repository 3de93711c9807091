#!/usr/bin/env bash
# A card of cabinet 1 (presence mask 1000) polling a stand-in power module over a
# pseudo-terminal; the reader tool shows the module's data arriving in the tree.
# Usage: tools/demo.sh BUILD_DIR [SECONDS]
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
SECS=${2:-8}
PROFILE=${TARVIK_PROFILE:-naval}

WORK=$(mktemp -d /tmp/tarvik-demo-XXXXXX)
touch "$WORK/Tarvik"
MODLINK=/dev/ttyTVKdemo$$
SIM_PID=""
CARD_PID=""

cleanup() {
  [ -n "$CARD_PID" ] && kill -TERM "$CARD_PID" 2>/dev/null && wait "$CARD_PID" 2>/dev/null || true
  [ -n "$SIM_PID" ] && kill -TERM "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null || true
  rm -f "$MODLINK"
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

"$BUILD/tarvik-modulesim-$PROFILE" --link "$MODLINK" --sn DEMO000000000001 --model TVK-DEMO --commands \
  >"$WORK/modulesim.out" 2>"$WORK/modulesim.log" &
SIM_PID=$!
for _ in $(seq 50); do [ -e "$MODLINK" ] && break; sleep 0.1; done
[ -e "$MODLINK" ] || { echo "stand-in module did not start"; cat "$WORK/modulesim.log"; exit 1; }

echo "== card: $BUILD/tarvik-$PROFILE $MODLINK /dev/ttyTVKnone 115200 1 1000 false (log: card.log)"
(cd "$WORK" && TARVIK_NO_MACHINE_ACTIONS=1 exec "$BUILD/tarvik-$PROFILE" "$MODLINK" /dev/ttyTVKnone 115200 1 1000 false) \
  2>"$WORK/card.log" &
CARD_PID=$!

sleep 1
echo "== tree right after start"
"$BUILD/tarvik-vu-$PROFILE" --dir "$WORK" || true
sleep "$SECS"
echo
echo "== tree after ${SECS} s of polling"
"$BUILD/tarvik-vu-$PROFILE" --dir "$WORK" || true
echo
echo "== panel command \"off\" into the module node SA.BA.M1 (as the card's web pages would)"
"$BUILD/tarvik-panel-$PROFILE" --dir "$WORK" SA.BA.M1 off || true
sleep 2
"$BUILD/tarvik-vu-$PROFILE" --dir "$WORK" --json | grep -o '"ID":"SA.BA.M1".*' | grep -o '"status":{[^}]*}' | head -n 1 || true
echo "== panel command \"on\""
"$BUILD/tarvik-panel-$PROFILE" --dir "$WORK" SA.BA.M1 on || true
sleep 2
"$BUILD/tarvik-vu-$PROFILE" --dir "$WORK" --json | grep -o '"ID":"SA.BA.M1".*' | grep -o '"status":{[^}]*}' | head -n 1 || true
echo "== commands the stand-in module received (DC: on/off)"
grep "modulesim: <- " "$WORK/modulesim.log" | tail -n 4 || true
echo
echo "== last lines of the card's log"
tail -n 15 "$WORK/card.log"
echo
echo "== stopping the card (SIGTERM)"
kill -TERM "$CARD_PID"; wait "$CARD_PID" && echo "card exit status 0"; CARD_PID=""
if ipcs -m | awk 'NR>3 {print $2}' | grep -q . && "$BUILD/tarvik-vu-$PROFILE" --dir "$WORK" >/dev/null 2>&1; then
  echo "segment still present!"; exit 1
fi
echo "segment removed"
