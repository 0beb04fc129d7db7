"""A real three-node nats-server cluster with JetStream for the end-to-end
tests of cvfcollect --nats and --from-nats: loopback ports of the test's own
network namespace, stores in the test's temporary directory, every node a
process of the test (ended with it)."""

import json
import os
import shutil
import sys
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fmon"))
from fmon_harness import COLLECT, TIMEOUT, wait_until  # noqa: E402

NATS_SERVER = shutil.which("nats-server") or "/usr/sbin/nats-server"
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))

# Each test has a network namespace of its own: fixed ports do not clash.
CLIENT, ROUTE, MONITOR = 14222, 16222, 18222


class NatsCluster:
    """Nodes n0..n2: client port CLIENT+i, route port ROUTE+i, monitoring
    port MONITOR+i (for readiness and the stream's state)."""

    def __init__(self, test, nodes=3):
        self.test = test
        self.nodes = nodes
        self.procs = [None] * nodes
        self.dir = os.path.join(test.tmp, "nats")

    def conf(self, i):
        routes = ", ".join("nats-route://127.0.0.1:%d" % (ROUTE + j)
                           for j in range(self.nodes) if j != i)
        path = os.path.join(self.dir, "n%d.conf" % i)
        with open(path, "w") as f:
            f.write("server_name: n%d\nlisten: 127.0.0.1:%d\nhttp: 127.0.0.1:%d\n"
                    "jetstream { store_dir: %s }\n"
                    "cluster { name: cvf, listen: 127.0.0.1:%d, routes: [%s] }\n"
                    % (i, CLIENT + i, MONITOR + i, os.path.join(self.dir, "store%d" % i),
                       ROUTE + i, routes))
        return path

    def start(self):
        os.makedirs(self.dir, exist_ok=True)
        for i in range(self.nodes):
            self.start_node(i)
        self.wait_ready()
        return self

    def start_node(self, i):
        env = {k: v for k, v in self.test.env.items() if k != "LD_PRELOAD"}  # no simulated ports
        self.procs[i] = self.test.start("nats-n%d" % i, [NATS_SERVER, "-c", self.conf(i)], env)

    def kill(self, i, sig=9):
        p = self.procs[i]
        p.signal(sig)
        p.wait()

    def stop_all(self):
        for i in range(self.nodes):
            if self.procs[i] and self.procs[i].running():
                self.kill(i)

    def jsz(self, i, query=""):
        try:
            with DIRECT.open("http://127.0.0.1:%d/jsz%s" % (MONITOR + i, query), timeout=2) as r:
                return json.load(r)
        except (OSError, ValueError):
            return None

    def wait_ready(self):
        """Until every running node knows the meta leader of JetStream."""
        def ready():
            for i in range(self.nodes):
                if not self.procs[i].running():
                    raise AssertionError("nats node n%d ended\n%s" % (i, self.procs[i].describe()))
                z = self.jsz(i)
                if not z or not z.get("meta_cluster", {}).get("leader"):
                    return False
            return True
        wait_until(ready, TIMEOUT * 2, "the cluster's JetStream meta leader")

    def settled(self, name="CVFMON", quiet=2.0):
        """Until the stream holds records and has taken no more for quiet
        seconds."""
        seen = [None, time.monotonic()]

        def still():
            n = self.stream_messages(name)
            if n != seen[0]:
                seen[:] = [n, time.monotonic()]
            return n and time.monotonic() - seen[1] >= quiet
        wait_until(still, TIMEOUT * 2, "stream %s to settle" % name, interval=0.2)

    def urls(self, nodes=None):
        return ",".join("nats://127.0.0.1:%d" % (CLIENT + i)
                        for i in (range(self.nodes) if nodes is None else nodes))

    def stream_messages(self, name="CVFMON"):
        """Messages the stream holds, as the node that answers says."""
        for i in range(self.nodes):
            if not self.procs[i].running():
                continue
            z = self.jsz(i, "?streams=true")
            for acc in (z or {}).get("account_details", []):
                for s in acc.get("stream_detail", []):
                    if s["name"] == name and s.get("cluster", {}).get("leader") == "n%d" % i:
                        return s["state"]["messages"]
        return None


def collector_argv(*args):
    return [COLLECT] + [str(a) for a in args]
