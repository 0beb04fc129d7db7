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
DEMO=demo
. "$(dirname "$0")/demo-lib.sh"

demo_bin "${1:-build/x64/bin}" cvsim cvfmonUdp cvfcollect
CAPTURE=$(cd "$BIN/../.." && pwd)/demo.pcapng
demo_need_root "it creates a network namespace and a simulated sync port" "$@"

if ! demo_inside; then
    echo "== Corvane line monitor demo =="
    echo "A simulated port sync0 carries an SS7 signalling link, 200 frames at 25 frames/s:"
    echo "MTP2 alignment, then fill-in signal units and ISUP calls between the exchanges"
    echo "2-45-1 and 2-46-3. Some frames arrive out of order; cvfmonUdp puts them back in"
    echo "order and forwards every frame over UDP to cvfcollect, which prints them."
    echo
    # A private namespace with the port, and this script again inside it.
    demo_enter sync0 40
fi

# Inside the namespace: CVSIM_DIR and the driver stand-in are set up.
demo_workdir
WORK=$DEMO_WORK

PORT=8888
# The collector prints each record as it takes it, and its summary at the end.
"$BIN/cvfcollect" -u -b 127.0.0.1 -p "$PORT" -P -r "$WORK/ready" -w "$CAPTURE" &
COL=$!
demo_track $COL
demo_wait_for "$WORK/ready" $COL "the collector"

echo "-- cvfmonUdp sync0 127.0.0.1 $PORT 1   (its own messages marked 'monitor:')"
"$BIN/cvfmonUdp" sync0 127.0.0.1 "$PORT" 1 > >(sed -u 's/^/monitor: /') 2>&1 &
MON=$!
demo_track $MON

# The traffic; the player starts once the monitor listens. A frame sent
# late comes out once the monitor has it, in sequence.
"$BIN/cvsim" play --port sync0 --traffic mtp2 --count 200 --rate 25 --reorder 0.05 \
    --seed 2012 --start-seq 1000 2>"$WORK/player" || true
sleep 1

demo_stop $MON
demo_stop $COL
echo
echo "-- the simulated driver: $(sed 's/^cvsim: sync0: //' "$WORK/player" | cut -d' ' -f1,5-7)"
if command -v tshark >/dev/null; then
    echo
    echo "-- what the collector wrote: $CAPTURE (open it in Wireshark); its first ISUP"
    echo "   messages as tshark decodes them (point codes as zone-area-point):"
    tshark -r "$CAPTURE" -Y isup -o mtp3.itu_pc_structure:3-8-3 2>/dev/null | head -n 20 || true
fi
echo "== demo finished =="
