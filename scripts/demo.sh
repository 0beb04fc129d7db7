#!/bin/bash
# A line monitor at work, without the hardware: a simulated sync port sync0
# carries an SS7 signalling link (MTP2 alignment, then ISUP calls between
# two exchanges) with some frames out of order, cvfmonUdp monitors it and
# forwards every frame to the bundled collector, which prints the records
# as they arrive and a summary at the end, and writes what it received to
# build/demo.pcapng, whose calls tshark then shows.
#
#   ./scripts/demo.sh build/x64/bin
#
# Needs root (a private network namespace and a TUN device); everything
# happens inside that namespace and is removed at the end.
set -eu -o pipefail

BIN=$(cd "${1:-build/x64/bin}" 2>/dev/null && pwd) || {
    echo "demo: no build at ${1:-build/x64/bin}; run 'make build-x64' first" >&2
    exit 1
}
CAPTURE=$(cd "$BIN/../.." && pwd)/demo.pcapng
for tool in cvsim cvfmonUdp cvfcollect; do
    [ -x "$BIN/$tool" ] || { echo "demo: $BIN/$tool is missing; build first" >&2; exit 1; }
done
if [ "$(id -u)" -ne 0 ]; then
    echo "demo: needs root (it creates a network namespace and a simulated sync port);" >&2
    echo "      try: sudo $0 $*" >&2
    exit 1
fi

if [ "${CVDEMO_INSIDE:-}" != 1 ]; then
    echo "== Corvane line monitor demo =="
    echo "A simulated port sync0 carries an SS7 signalling link, 200 frames at 25 frames/s:"
    echo "MTP2 alignment, then fill-in signal units and ISUP calls between the exchanges"
    echo "2-45-1 and 2-46-3. Some frames arrive out of order; cvfmonUdp puts them back in"
    echo "order and forwards every frame over UDP to cvfcollect, which prints them."
    echo
    # A private namespace with the port, and this script again inside it.
    export CVDEMO_INSIDE=1
    exec "$BIN/cvsim" run --ports sync0 --timeout 40 -- /bin/bash "$0" "$BIN"
fi

# Inside the namespace: CVSIM_DIR and the driver stand-in are set up.
WORK=$(mktemp -d /tmp/cvdemo.XXXXXX)
MON=""
COL=""
finish() {
    [ -n "$MON" ] && kill "$MON" 2>/dev/null || true
    [ -n "$COL" ] && kill "$COL" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap finish EXIT
trap 'exit 130' INT TERM

PORT=8888
# The collector prints each record as it takes it, and its summary at the end.
"$BIN/cvfcollect" -u -b 127.0.0.1 -p "$PORT" -P -r "$WORK/ready" -w "$CAPTURE" &
COL=$!
n=0
while [ ! -e "$WORK/ready" ]; do
    n=$((n + 1))
    [ $n -gt 100 ] && { echo "demo: the collector did not start" >&2; exit 1; }
    sleep 0.1
done

echo "-- cvfmonUdp sync0 127.0.0.1 $PORT 1   (its own messages marked 'monitor:')"
"$BIN/cvfmonUdp" sync0 127.0.0.1 "$PORT" 1 > >(sed -u 's/^/monitor: /') 2>&1 &
MON=$!

# The traffic; the player starts once the monitor listens. A frame sent
# late comes out once the monitor has it, in sequence.
"$BIN/cvsim" play --port sync0 --traffic mtp2 --count 200 --rate 25 --reorder 0.05 \
    --seed 2012 --start-seq 1000 2>"$WORK/player" || true
sleep 1

kill -TERM "$MON" 2>/dev/null || true
wait "$MON" 2>/dev/null || true
MON=""
kill -TERM "$COL" 2>/dev/null || true
wait "$COL" 2>/dev/null || true
COL=""
echo
echo "-- the simulated driver: $(sed 's/^cvsim: sync0: //' "$WORK/player" | cut -d' ' -f1,5-7)"
if command -v tshark >/dev/null; then
    echo
    echo "-- what the collector wrote: $CAPTURE (open it in Wireshark); its first ISUP"
    echo "   messages as tshark decodes them (point codes as zone-area-point):"
    tshark -r "$CAPTURE" -Y isup -o mtp3.itu_pc_structure:3-8-3 2>/dev/null | head -n 20 || true
fi
echo "== demo finished =="
