#!/usr/bin/env bash
# Captures in Wireshark: records a short run of the simulated plant (two naval
# cabinets) with --capture, turns a recorded stream with QT messages into a
# capture with tarvik-sniff, reads both with tshark and the dissector, and checks
# the decoded fields. Needs root (the plant's /dev/tty links) and tshark.
#   tests/sniff_tshark.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:?build directory}
LUA=$ROOT/tools/wireshark/tarvik.lua
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "sniff_tshark: $*" >&2; exit 1; }
ts() { tshark -X "lua_script:$LUA" -r "$@" 2>"$WORK/tshark.err" || { cat "$WORK/tshark.err" >&2; fail "tshark failed"; }; }
# Booleans read "1"/"0" or "True"/"False" depending on the tshark version.
yes='^(1|True)$'

"$BIN/tarvik-plant-naval" --mask 1100 --duration 15 --plain --capture "$WORK/cap" --dir "$WORK/plant" \
  >"$WORK/plant.log" 2>&1 || { tail -n 20 "$WORK/plant.log" >&2; fail "plant run failed"; }

# Cabinet bus: the dissector's own CRC agrees with the sniffer's on every frame, and the
# cabinet records carry the stand-in module's output (230 V, 50.0 Hz).
ts "$WORK/cap/cabinet-bus.pcap" -Y kesp -T fields -e kesp.cmd -e kesp.role -e kesp.crc_ok -e tarvik.check_ok \
  -e kesp.bs.vout1 -e kesp.bs.frq_out -e kesp.src >"$WORK/kesp.txt"
awk -F'\t' -v yes="$yes" '
  { n++; if (($3 ~ yes) != ($4 ~ yes)) disagree++; if ($3 !~ yes) bad++ }
  $1 == "BS" && $2 == "query" { q++ }
  $1 == "BS" && $2 == "reply" && $5 == 230 && $6 == 500 { r++; from[$7] = 1 }
  END {
    printf "cabinet bus: %d frames, %d BS queries, %d BS replies with Vout 230 and 50.0 Hz, %d bad CRC\n", n, q, r, bad
    if (disagree || bad || q < 3 || r < 3 || length(from) < 2) exit 1
  }' "$WORK/kesp.txt" || fail "cabinet-bus capture not decoded as expected"

# Module bus of cabinet A: the fixed round, answered, with the stand-in's identification and ratings.
ts "$WORK/cap/module-bus-A.pcap" -Y duvex -T fields -e duvex.cmd -e duvex.role -e duvex.check_ok \
  -e duvex.gi.sn -e duvex.gn.va >"$WORK/duvex.txt"
awk -F'\t' -v yes="$yes" '
  { n++; if ($3 !~ yes) bad++; if ($2 == "query") q++; if ($2 == "reply") r++ }
  $1 == "GI" && $4 == "TVKSIM0000000001" { gi++ }
  $1 == "GN" && $5 == 30000 { gn++ }
  END {
    printf "module bus A: %d frames, %d queries, %d replies, GI %d, GN %d, bad check %d\n", n, q, r, gi, gn, bad
    if (bad || q < 6 || r < q - 1 || !gi || !gn) exit 1
  }' "$WORK/duvex.txt" || fail "module-bus capture not decoded as expected"

# QT nesting, noise and a bad inner check code, from a recorded stream.
"$BIN/tarvik-sniff-naval" --quiet --file "$ROOT/tests/golden/sniff-qt.raw" --pcap "$WORK/qt.pcap" 2>/dev/null
ts "$WORK/qt.pcap" -T fields -e tarvik.kind -e kesp.cmd -e kesp.role -e duvex.cmd -e duvex.role -e duvex.check_ok \
  -e duvex.gn.va -e kesp.qt.stamp -e kesp.cn.next_master >"$WORK/qt.txt"
awk -F'\t' -v yes="$yes" '
  $1 == 1 { noise++ }
  $2 == "QT" && $3 == "query" && $4 == "GN" && $5 == "query" { qq++ }
  $2 == "QT" && $3 == "reply" && $4 == "GN" && $6 ~ yes && $7 == 30000 && $8 == 1234567 { qr++ }
  $2 == "QT" && $3 == "reply" && $4 == "RS" && $6 !~ yes { badInner++ }
  $2 == "CN" && $9 ~ /^0x0*eb$/ { cn++ }
  END {
    printf "recorded stream: %d noise spans, QT query %d, QT reply %d, bad inner %d, CN %d\n", noise, qq, qr, badInner, cn
    if (noise != 2 || qq != 1 || qr != 1 || badInner != 1 || cn != 1) exit 1
  }' "$WORK/qt.txt" || fail "QT capture not decoded as expected"
echo "sniff_tshark: good"
