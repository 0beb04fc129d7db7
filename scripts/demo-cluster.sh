#!/bin/bash
# Many gateways behind a NATS JetStream cluster, without the hardware: three
# nats-server nodes with JetStream on loopback, two simulated sync ports on
# two gateways (SS7 signalling links), a monitor per port forwarding to one
# collector that publishes every record to a stream of three replicas, and
# one consumer that reads the stream and writes rotated pcapng files to
# build/demo-cluster/. At the end a summary: the records played per port,
# published and consumed, and the packets in the capture files; the exit
# status is 1 when they do not agree.
#
#   ./scripts/demo-cluster.sh build/x64/bin
#
# Needs root (a private network namespace and TUN devices) and nats-server;
# everything runs inside that namespace, the nodes' stores and configuration
# in a private temporary directory, and all of it is removed at the end.
set -eu -o pipefail
DEMO=demo-cluster
. "$(dirname "$0")/demo-lib.sh"

demo_bin "${1:-build/x64/bin}" cvsim cvfmonUdp cvfcollect
NATS_SERVER=$(command -v nats-server || echo /usr/sbin/nats-server)
[ -x "$NATS_SERVER" ] ||
    demo_fail "nats-server is not installed (make deps, or apt-get install nats-server)"
for tool in curl python3; do
    command -v $tool >/dev/null || demo_fail "$tool is not installed (make deps)"
done
OUT=$(cd "$BIN/../.." && pwd)/demo-cluster
demo_need_root "it creates a network namespace and simulated sync ports" "$@"

RECORDS=1000 # per port
RATE=250     # records per second and port
if ! demo_inside; then
    echo "== Corvane line monitors behind a NATS JetStream cluster =="
    echo "Three nats-server nodes form a cluster with JetStream. Two simulated ports on"
    echo "two gateways, sync0 (gateway 1) and sync1 (gateway 2), each carry an SS7"
    echo "signalling link, $RECORDS frames at $RATE frames/s; a cvfmonUdp per port forwards them"
    echo "to one cvfcollect, which publishes every record to the stream CVFMON (three"
    echo "replicas). A second cvfcollect reads the stream as the durable consumer"
    echo "'capture' and writes rotated pcapng files to $OUT/."
    echo
    demo_enter sync0,sync1 120
fi

# Inside the namespace. Its ports are the demo's own: none is taken.
demo_workdir
WORK=$DEMO_WORK
NODES="0 1 2"
CLIENT=4222 ROUTE=6222 MONITOR=8222 PORT=5000
URLS=nats://127.0.0.1:$CLIENT,nats://127.0.0.1:$((CLIENT + 1)),nats://127.0.0.1:$((CLIENT + 2))

# jsz NODE [QUERY]: the node's JetStream state (JSON), empty when it does
# not answer.
jsz() {
    curl -s --noproxy '*' --max-time 2 "http://127.0.0.1:$((MONITOR + $1))/jsz${2:-}" || true
}

# json FILE KEY: a value of a summary the collector wrote (-j).
json() {
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$@"
}

# wait_until SECONDS WHAT COMMAND...: runs COMMAND every 0.2 s until it
# succeeds, as long as every node runs.
wait_until() {
    local limit=$(($1 * 5)) what=$2 n=0 pid
    shift 2
    until "$@"; do
        for pid in $NODE_PIDS; do
            kill -0 "$pid" 2>/dev/null || {
                tail -n 5 "$WORK"/n*.log >&2
                demo_fail "a nats-server node ended"
            }
        done
        n=$((n + 1))
        [ $n -gt $limit ] && demo_fail "no $what after $((limit / 5)) s"
        sleep 0.2
    done
    return 0
}

have_leader() {
    local i
    for i in $NODES; do
        jsz "$i" | grep -q '"leader": *"n[0-9]"' || return 1
    done
}

stream_exists() {
    jsz 0 '?streams=true' | grep -q '"name": *"CVFMON"'
}

# -- the cluster --------------------------------------------------------------
NODE_PIDS=""
for i in $NODES; do
    routes=""
    for j in $NODES; do
        [ "$j" = "$i" ] || routes="$routes${routes:+, }nats-route://127.0.0.1:$((ROUTE + j))"
    done
    cat >"$WORK/n$i.conf" <<EOF
server_name: n$i
listen: 127.0.0.1:$((CLIENT + i))
http: 127.0.0.1:$((MONITOR + i))
jetstream { store_dir: "$WORK/store$i" }
cluster { name: demo, listen: 127.0.0.1:$((ROUTE + i)), routes: [$routes] }
EOF
    # The simulated driver's preload library is for the monitors only.
    env -u LD_PRELOAD "$NATS_SERVER" -c "$WORK/n$i.conf" >"$WORK/n$i.log" 2>&1 &
    NODE_PIDS="$NODE_PIDS $!"
    demo_track $!
done
echo "-- nats-server n0 n1 n2 on 127.0.0.1:$CLIENT-$((CLIENT + 2)), stores and logs in $WORK"
wait_until 60 "JetStream leader in the cluster" have_leader
echo "   cluster ready: JetStream leader $(jsz 0 | python3 -c \
    'import json, sys; print(json.load(sys.stdin)["meta_cluster"]["leader"])')"

# -- the collector and the consumer --------------------------------------------
echo "-- cvfcollect -u -p $PORT --nats $URLS --replicas 3"
"$BIN/cvfcollect" -u -b 127.0.0.1 -p "$PORT" --nats "$URLS" --replicas 3 \
    -r "$WORK/collector.ready" -j "$WORK/collector.json" \
    2> >(sed -u 's/^/collector: /') >"$WORK/collector.out" &
COL=$!
demo_track $COL
demo_wait_for "$WORK/collector.ready" $COL "the collector" 30
wait_until 30 "stream CVFMON" stream_exists

# The consumer's capture folder holds this run's files only: the consumer
# skips the stream sequences that the files it finds there hold already.
mkdir -p "$OUT"
rm -f "$OUT"/capture-*.pcapng
echo "-- cvfcollect --from-nats ... --stream CVFMON --durable capture -w $OUT/capture.pcapng -C 0.02 -W 100 -c $((2 * RECORDS))"
"$BIN/cvfcollect" --from-nats "$URLS" --stream CVFMON --durable capture \
    -w "$OUT/capture.pcapng" -C 0.02 -W 100 -c $((2 * RECORDS)) -j "$WORK/consumer.json" \
    2> >(sed -u 's/^/consumer: /') >"$WORK/consumer.out" &
CONS=$!
demo_track $CONS

# -- the monitors and the traffic ----------------------------------------------
MONS=""
for gw in 1 2; do
    port=sync$((gw - 1))
    echo "-- cvfmonUdp $port 127.0.0.1 $PORT $gw"
    "$BIN/cvfmonUdp" "$port" 127.0.0.1 "$PORT" "$gw" > >(sed -u "s/^/monitor $port: /") 2>&1 &
    MONS="$MONS $!"
    demo_track $!
done
echo "-- playing $RECORDS records into each port ($((RECORDS / RATE)) s)"
PLAYERS=""
for gw in 1 2; do
    port=sync$((gw - 1))
    "$BIN/cvsim" play --port "$port" --traffic mtp2 --count "$RECORDS" --rate "$RATE" \
        --reorder 0.02 --seed $((2012 + gw)) --start-seq 1 2>"$WORK/player-$port" &
    PLAYERS="$PLAYERS $!"
    demo_track $!
done
for pid in $PLAYERS; do
    demo_stop "$pid" 0
    [ "$DEMO_STATUS" = 0 ] || demo_fail "a player failed: $(cat "$WORK"/player-*)"
done
sleep 1

# The monitors forward what they still hold; the collector publishes what
# it has and waits for the last acknowledgements; the consumer ends once it
# has read every record played, or is stopped when it has not within 30 s
# (the summary then says what is missing).
for pid in $MONS; do
    demo_stop "$pid"
done
demo_stop $COL
[ "$DEMO_STATUS" = 0 ] || demo_fail "the collector ended with status $DEMO_STATUS"
n=0
while kill -0 $CONS 2>/dev/null && [ $n -lt 300 ]; do
    n=$((n + 1))
    sleep 0.1
done
demo_stop $CONS
[ "$DEMO_STATUS" = 0 ] || demo_fail "the consumer ended with status $DEMO_STATUS"
STREAM=$(jsz 0 '?streams=true&config=true' | python3 -c '
import json, sys
for acc in json.load(sys.stdin).get("account_details", []):
    for s in acc.get("stream_detail", []):
        if s["name"] == "CVFMON":
            print(s["state"]["messages"], s["config"]["num_replicas"], s["cluster"]["leader"])')

# -- the summary ----------------------------------------------------------------
echo
echo "== summary =="
played=0
for gw in 1 2; do
    port=sync$((gw - 1))
    n=$(sed -n "s/^cvsim: $port: records=\([0-9]*\).*/\1/p" "$WORK/player-$port")
    echo "played:    $port (gateway $gw): ${n:-?} records"
    played=$((played + ${n:-0}))
done
received=$(json "$WORK/collector.json" records)
published=$(json "$WORK/collector.json" nats_published)
unpublished=$(json "$WORK/collector.json" nats_unpublished)
echo "collector: $received records received, published $published, unpublished $unpublished"
read -r stored replicas leader <<<"${STREAM:-? ? ?}"
echo "stream:    CVFMON holds $stored records, $replicas replicas, leader $leader"
consumed=$(json "$WORK/consumer.json" records)
files=$(find "$OUT" -maxdepth 1 -name 'capture-*.pcapng' | sort)
echo "consumer:  $consumed records, in $(echo "$files" | grep -c .) capture files in $OUT/"
packets=$consumed
if command -v capinfos >/dev/null; then
    packets=0
    for f in $files; do
        packets=$((packets + $(capinfos -c -M "$f" | sed -n 's/^Number of packets: *//p')))
    done
    echo "capinfos:  $packets packets in those files"
fi
if command -v tshark >/dev/null; then
    echo
    echo "-- the first ISUP messages of gateway 2's link, as tshark decodes the capture:"
    for f in $files; do
        tshark -r "$f" -Y 'frame.interface_name == "gw2-line1" && isup' \
            -o mtp3.itu_pc_structure:3-8-3 2>/dev/null || true
    done | head -n 8
fi
echo
agree=1
for n in "$received" "$published" "$stored" "$consumed" "$packets"; do
    [ "$n" = "$played" ] || agree=0
done
[ "$unpublished" = 0 ] || agree=0
if [ $agree = 1 ]; then
    echo "== demo finished: the $played records played were published once and captured once =="
else
    echo "$DEMO: the numbers do not agree: played $played, received $received," \
        "published $published (unpublished $unpublished), stored $stored," \
        "consumed $consumed, captured $packets" >&2
    exit 1
fi
