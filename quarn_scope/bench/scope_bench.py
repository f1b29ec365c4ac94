#!/usr/bin/python3
"""What hover_lock_scope costs: the node's round trip with ~state on, with and without the scope subscribed to it
and a page open; the scope's CPU share at 10 and 100 state messages a second; and the lag from a state message to
the page, early and late in a run at 100 Hz (it must not grow).

    scope_bench.py DEVEL_PREFIX OUT_DIR [--brief]

Prints the rows in the table layout of bench.py and appends them to OUT_DIR/results.md. The page is an event-stream
client in this process; the round trips are timed from a rospy client, so they include its overhead, alike for both
nodes. --brief: tiny counts, figures meaningless.
"""

import argparse
import http.client
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

FULL = {"trips": 2000, "block": 20, "cpu_seconds": 20.0, "lag_seconds": 30.0}
BRIEF = {"trips": 40, "block": 10, "cpu_seconds": 1.0, "lag_seconds": 3.0}
ROUND_TRIP_GOAL = 1.05  # p50 with the scope against without it
CPU_GOAL = 5.0          # % of a core at 10 Hz
LAG_GROWTH_MS = 5.0     # p50 lag in the last third of the 100 Hz run less that in the first third
TIMEOUT = 30.0
HERE = os.path.dirname(os.path.abspath(__file__))
CONFIG = os.path.join(HERE, os.pardir, os.pardir, "quarn_dev", "config", "hover_lock_mode1.xml")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100.0 * len(ordered)))] if ordered else float("nan")


class Page:
    """An open page: reads the scope's event stream and keeps each state message's lag (s) with its arrival."""

    def __init__(self, port):
        self.lags = []
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
        self.connection.request("GET", "/events")
        self.response = self.connection.getresponse()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        event = None
        try:
            for raw in self.response:
                line = raw.decode().rstrip("\n")
                if line.startswith("event: "):
                    event = line[7:]
                elif line.startswith("data: ") and event == "state":
                    stamp = float(line.split('"t":', 1)[1].split(",", 1)[0])
                    now = time.time()
                    self.lags.append((now, now - stamp))
        except (OSError, ValueError, AttributeError, http.client.HTTPException):
            pass  # the scope stopped or the page was closed

    def close(self):
        self.connection.close()


class Bench:
    def __init__(self, devel, out):
        self.devel, self.out = devel, out
        self.port = free_port()
        self.env = dict(os.environ, ROS_MASTER_URI="http://127.0.0.1:%d" % self.port, ROS_HOSTNAME="127.0.0.1",
                        ROS_PACKAGE_PATH=os.path.join(HERE, os.pardir, os.pardir),
                        CMAKE_PREFIX_PATH=devel + ":" + os.environ.get("CMAKE_PREFIX_PATH", ""))
        os.environ.update({k: self.env[k] for k in ("ROS_MASTER_URI", "ROS_HOSTNAME")})
        self.processes = []
        self.start("master", ["rosmaster", "--core", "-p", str(self.port)])

    def start(self, name, argv):
        log = open(os.path.join(self.out, "scope_bench_%s.log" % name), "w")
        process = subprocess.Popen(argv, env=self.env, stdout=log, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def scope(self, name, node):
        """Starts a scope watching node and returns its process and port."""
        port = free_port()
        binary = os.path.join(self.devel, "lib", "quarn_scope", "hover_lock_scope")
        return self.start(name, [binary, "__name:=" + name, "_node:=" + node, "_port:=%d" % port]), port

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def wait_for(condition, what):
    end = time.monotonic() + TIMEOUT
    while not condition():
        if time.monotonic() > end:
            sys.exit("scope_bench: no " + what)
        time.sleep(0.05)


def round_trips(bench, counts):
    """p50 and p99 (us) of hover_lock with ~state on, alone and with a scope and a page, in alternating blocks."""
    import rospy
    from quarn_common.msg import BhResponse, ControllerState, NavigationData
    with open(CONFIG) as f:
        rospy.set_param("/hover_lock_config", f.read())
    nodes = {}
    for ns in ("state_on", "scoped"):
        rospy.set_param("/%s/hover_lock_config" % ns, rospy.get_param("/hover_lock_config"))
        process = bench.start(ns, [os.path.join(bench.devel, "lib", "quarn_dev", "hover_lock"), "__ns:=/" + ns,
                                   "_publish_state:=true"])
        answered = threading.Event()
        nodes[ns] = {"answered": answered, "process": process,
                     "pub": rospy.Publisher("/%s/navigator_data" % ns, NavigationData, queue_size=1),
                     "sub": rospy.Subscriber("/%s/behavior_response" % ns, BhResponse,
                                             lambda _, e=answered: e.set(), queue_size=1)}
    # The baseline's state goes to a plotter as well: here a subscriber of this client, there the scope.
    plotter = rospy.Subscriber("/state_on/hover_lock/state", ControllerState, lambda _: None, queue_size=1)
    _, port = bench.scope("scope_round_trip", "/scoped/hover_lock")
    wait_for(lambda: all(n["pub"].get_num_connections() and n["sub"].get_num_connections()
                         for n in nodes.values()) and plotter.get_num_connections(), "link to the hover_lock nodes")
    # The page reads in a process of its own: a reader here would take the client's interpreter lock.
    wait_for(lambda: subprocess.call(["curl", "-sf", "-o", "/dev/null", "http://127.0.0.1:%d/config.xml" % port]) == 0,
             "answer from the scope")
    page = bench.start("page", ["curl", "-sN", "-o", "/dev/null", "http://127.0.0.1:%d/events" % port])
    message = NavigationData()
    message.pose = [0.3, -0.2, 2.5, 0.0, 0.0, 0.1]

    def trip(node):
        node["answered"].clear()
        started = time.perf_counter()
        node["pub"].publish(message)
        return (time.perf_counter() - started) * 1e6 if node["answered"].wait(1.0) else None

    for node in nodes.values():
        for _ in range(50):
            trip(node)
    samples = {ns: [] for ns in nodes}
    for _ in range(0, counts["trips"], counts["block"]):
        for ns, node in nodes.items():
            samples[ns] += [t for t in (trip(node) for _ in range(counts["block"])) if t is not None]
    page.terminate()
    plotter.unregister()
    return {ns: (percentile(s, 50), percentile(s, 99), len(s)) for ns, s in samples.items()}


def connect_page(port):
    page = []

    def opened():
        try:
            page.append(Page(port))
            return True
        except OSError:
            return False

    wait_for(opened, "answer from the scope")
    return page[0]


def state_rates(bench, counts):
    """The scope's CPU share (% of a core) at 10 and 100 Hz, and the lags (s) of the 100 Hz run by thirds."""
    import rospy
    from quarn_common.msg import ControllerState
    process, port = bench.scope("scope_rates", "/fake/hover_lock")
    publisher = rospy.Publisher("/fake/hover_lock/state", ControllerState, queue_size=100)
    wait_for(lambda: publisher.get_num_connections(), "scope subscribed to the state")
    page = connect_page(port)
    message = ControllerState()
    message.measure = [0.3, -0.2, 0.5, 0.1]
    results = {}
    for hz, seconds in ((10, counts["cpu_seconds"]), (100, counts["lag_seconds"])):
        before = cpu_seconds(process.pid)
        started = time.monotonic()
        first = len(page.lags)
        for k in range(int(hz * seconds)):
            time.sleep(max(0.0, started + k / hz - time.monotonic()))
            message.header.stamp = rospy.Time.now()
            publisher.publish(message)
        time.sleep(0.5)  # the last messages reach the page
        results[hz] = {"cpu": 100 * (cpu_seconds(process.pid) - before) / (time.monotonic() - started),
                       "lags": [lag for _, lag in page.lags[first:]], "sent": int(hz * seconds)}
    page.close()
    return results


def row(bench, what, value, base, base_value, fmt, goal, samples):
    ratio = value / base_value if base_value > 0 else float("nan")
    return "| %s | %s | %s | %s | %s | %.3f | %s | %s |" % (bench, what, fmt % value, base, fmt % base_value, ratio,
                                                          goal, samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("devel")
    parser.add_argument("out_dir")
    parser.add_argument("--brief", action="store_true")
    args = parser.parse_args()
    counts = BRIEF if args.brief else FULL
    os.makedirs(args.out_dir, exist_ok=True)
    devel = os.path.abspath(args.devel)
    sys.path.insert(0, os.path.join(devel, "lib", "python3", "dist-packages"))
    bench = Bench(devel, args.out_dir)
    try:
        import rospy
        wait_for(lambda: subprocess.call(["rosnode", "list"], env=bench.env, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL) == 0, "master")
        rospy.init_node("scope_bench", anonymous=True, disable_signals=True)
        trips = round_trips(bench, counts)
        rates = state_rates(bench, counts)
    finally:
        bench.stop()
    alone, scoped = trips["state_on"], trips["scoped"]
    lags = rates[100]["lags"]
    third = max(1, len(lags) // 3)
    early, late = lags[:third], lags[-third:]
    met = lambda ok: "met" if ok else "missed"
    rows = [
        "",
        "hover_lock_scope (reproduce with `make bench`): round trips from a rospy client in alternating blocks of %d; "
        "the page is an event-stream client reading the scope (curl for the round trips); lag from a state message's stamp to its arrival "
        "there." % counts["block"],
        "",
        "| Benchmark | Measured | Value | Baseline | Value | Ratio | Goal | Samples |",
        "|---|---|---:|---|---:|---:|---|---|",
        row("Scope subscribed", "hover_lock + ~state + scope p50 (us)", scoped[0], "hover_lock + ~state", alone[0],
            "%.1f", "<= %.2f: %s" % (ROUND_TRIP_GOAL, met(scoped[0] <= ROUND_TRIP_GOAL * alone[0])),
            "%d / %d" % (scoped[2], alone[2])),
        row("Scope subscribed", "hover_lock + ~state + scope p99 (us)", scoped[1], "hover_lock + ~state", alone[1],
            "%.1f", "", "%d / %d" % (scoped[2], alone[2])),
        row("Scope CPU at 10 Hz", "hover_lock_scope, one page (% of a core)", rates[10]["cpu"], "goal", CPU_GOAL,
            "%.2f", "< goal: %s" % met(rates[10]["cpu"] < CPU_GOAL), "%d messages" % rates[10]["sent"]),
        row("Scope CPU at 100 Hz", "hover_lock_scope, one page (% of a core)", rates[100]["cpu"], "at 10 Hz",
            rates[10]["cpu"], "%.2f", "", "%d messages" % rates[100]["sent"]),
        row("Scope lag at 100 Hz", "state to page p50, last third (ms)", 1000 * statistics.median(late),
            "first third", 1000 * statistics.median(early), "%.2f",
            "growth < %.0f ms: %s" % (LAG_GROWTH_MS, met(1000 * (statistics.median(late) - statistics.median(early))
                                                        < LAG_GROWTH_MS)),
            "%d of %d received" % (len(lags), rates[100]["sent"])),
        row("Scope lag at 100 Hz", "state to page p99, last third (ms)", 1000 * percentile(late, 99), "first third",
            1000 * percentile(early, 99), "%.2f", "", "%d / %d" % (len(late), len(early))),
    ]
    text = "\n".join(rows) + "\n"
    with open(os.path.join(args.out_dir, "results.md"), "a") as out:
        out.write(text)
    print(text, end="")


if __name__ == "__main__":
    main()
