#!/usr/bin/python3
"""Closed-loop demo: the real hover_lock node against the simulated vehicle, on a private ROS master.

Runs two scenarios (navigation-driven hold, visual servoing) with the example configurations of quarn_dev/config
on the default vehicle model (quarn_sim/config/vehicle_default.xml, or the one given by --vehicle), prints a table per scenario, writes
trajectory.csv and hover_lock_demo.png into the output directory and exits 1 when a scenario does not settle.
Every process it starts is stopped by its pid, also on Ctrl-C and on failure.

    /usr/bin/python3 quarn_sim/demo/run_demo.py --devel build/devel --out out/demo
    /usr/bin/python3 quarn_sim/demo/run_demo.py --devel build/devel --out out/demo \
        --vehicle quarn_sim/config/vehicle_heavy_rov.xml
"""
import argparse
import csv
import dataclasses
import json
import math
import os
import signal
import socket
import subprocess
import sys
import time
import xmlrpc.client
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCES = HERE.parent.parent
VEHICLE = SOURCES / "quarn_sim" / "config" / "vehicle_default.xml"
AXES = ("x", "y", "depth", "heading")
UNITS = ("m", "m", "m", "rad")
# Trajectory columns of the four axes and of their commands.
POSE_COLUMNS = ("x", "y", "z", "yaw")
COMMAND_COLUMNS = ("cmd_x", "cmd_y", "cmd_z", "cmd_yaw")


@dataclass
class SettlingRule:
    """A scenario has settled when every axis stays within its tolerance from then on, for at least hold seconds."""
    tolerance: tuple  # x, y, depth (m), heading (rad)
    hold: float


def settling_rule(devel):
    """The settling rule of hover_lock_tune's scores, so that the demo judges the real node as the campaign does."""
    tool = devel / "lib/quarn_sim/hover_lock_tune"
    try:
        rule = json.loads(subprocess.run([str(tool), "settling"], capture_output=True, text=True, check=True).stdout)
    except (OSError, subprocess.CalledProcessError, ValueError) as e:
        raise RuntimeError("cannot read the settling rule from %s: %s" % (tool, e))
    return SettlingRule(tuple(rule["tolerance"]), rule["hold"])


@dataclass
class Scenario:
    name: str
    title: str
    config: Path
    target: tuple  # x, y, depth, heading held
    initial: tuple  # x, y, z, yaw
    seed: int  # of the vehicle's gusts and navigation noise
    duration: float
    visual_target: tuple = None  # world x, y, z of the target the camera sees
    vehicle: Path = VEHICLE  # model document of either kind


# Both on the default vehicle, in its current of (0.2, -0.2, 0) m/s with gusts. The mode 1 scenario is run 8 of
# hover_lock_tune's standard set with its seed: `hover_lock_tune evaluate ... --first 8 --runs 1` scores it.
SCENARIOS = (
    Scenario("mode1", "mode 1: hold (0, 0, 2, 0) from (3, 0, 3, 1) on the default vehicle",
             SOURCES / "quarn_dev" / "config" / "hover_lock_mode1.xml", (0.0, 0.0, 2.0, 0.0), (3.0, 0.0, 3.0, 1.0), 9,
             40.0),
    Scenario("mode0", "mode 0: servo onto a target 3 m ahead and 2 m to the left on the default vehicle; "
             "depth and heading held",
             SOURCES / "quarn_dev" / "config" / "hover_lock_mode0.xml", (3.0, 2.0, 2.0, 0.0), (0.0, 0.0, 2.0, 0.0), 1,
             40.0, visual_target=(3.0, 2.0, 2.0)),
)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wrap(angle):
    return math.remainder(angle, 2 * math.pi)


class Processes:
    """Children started by this script, stopped by their pids in reverse order."""

    def __init__(self, env, log_dir):
        self.env, self.log_dir, self.children = env, log_dir, []

    def start(self, name, args):
        log = open(self.log_dir / f"{name}.log", "w")
        child = subprocess.Popen(args, env=self.env, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        child.name, child.log = name, log
        self.children.append(child)
        return child

    def stop(self, child):
        if child.poll() is None:
            for sig, wait in ((signal.SIGINT, 5), (signal.SIGTERM, 3), (signal.SIGKILL, 3)):
                child.send_signal(sig)
                try:
                    child.wait(wait)
                    break
                except subprocess.TimeoutExpired:
                    pass
        child.log.close()
        self.children.remove(child)

    def stop_all(self):
        for child in reversed(list(self.children)):
            self.stop(child)

    def tail(self, child, lines=15):
        text = (self.log_dir / f"{child.name}.log").read_text(errors="replace").splitlines()
        return "\n".join(text[-lines:])


def wait_for_master(master, proxy, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if master.poll() is not None:
            raise RuntimeError("rosmaster exited at start-up")
        try:
            proxy.getPid("/demo")
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("rosmaster did not answer within %.0f s" % timeout)


def read_trajectory(path):
    if not path.exists():
        return []
    with open(path) as f:
        rows = list(csv.DictReader(f))
    # The last line may still be half written.
    return [{k: float(v) for k, v in r.items()} for r in rows if None not in r.values() and "" not in r.values()]


def errors(scenario, row):
    tx, ty, tz, tyaw = scenario.target
    return (row["x"] - tx, row["y"] - ty, row["z"] - tz, wrap(row["yaw"] - tyaw))


def progress(scenario, rows, interactive):
    if not rows:
        return
    e = errors(scenario, rows[-1])
    line = "%s %5.1f s / %.0f s   error x %+6.2f m  y %+6.2f m  depth %+6.2f m  heading %+6.3f rad" % (
        scenario.name, rows[-1]["t"], scenario.duration, *e)
    if interactive:
        print("\r" + line, end="", flush=True)
    else:
        print(line, flush=True)


def run_scenario(scenario, procs, proxy, devel, out, interactive):
    trajectory = out / f"{scenario.name}_sim.csv"
    trajectory.unlink(missing_ok=True)
    proxy.setParam("/demo", "/hover_lock_config", scenario.config.read_text())
    sim_params = {"vehicle_model": scenario.vehicle.read_text(), "initial_pose": list(scenario.initial),
                  "seed": scenario.seed, "duration": scenario.duration, "trajectory_file": str(trajectory)}
    if scenario.visual_target:
        sim_params["target"] = list(scenario.visual_target)
    proxy.deleteParam("/demo", "/vehicle_sim")
    for key, value in sim_params.items():
        proxy.setParam("/demo", "/vehicle_sim/" + key, value)

    node = procs.start(f"{scenario.name}_hover_lock", [str(devel / "lib/quarn_dev/hover_lock")])
    sim = procs.start(f"{scenario.name}_vehicle_sim", [str(devel / "lib/quarn_sim/vehicle_sim")])
    deadline = time.monotonic() + scenario.duration + 30.0
    last_print = 0.0
    while sim.poll() is None:
        if node.poll() is not None:
            raise RuntimeError("hover_lock exited with status %d:\n%s" % (node.returncode, procs.tail(node)))
        if time.monotonic() > deadline:
            raise RuntimeError("the simulated run did not finish in time:\n" + procs.tail(sim))
        if time.monotonic() - last_print >= (0.2 if interactive else 5.0):
            progress(scenario, read_trajectory(trajectory), interactive)
            last_print = time.monotonic()
        time.sleep(0.05)
    if interactive:
        print()
    if sim.returncode != 0:
        raise RuntimeError("vehicle_sim exited with status %d:\n%s" % (sim.returncode, procs.tail(sim)))
    procs.stop(node)
    procs.stop(sim)
    rows = read_trajectory(trajectory)
    if not rows:
        raise RuntimeError("vehicle_sim recorded nothing")
    return rows


def summarise(scenario, rows, rule):
    """Per axis: settle time (None if it never stays within tolerance), final error, largest commands, command
    reversals per second (sign changes of the set-point, zeros skipped, as the campaign counts them)."""
    end = rows[-1]["t"]
    row_errors = [errors(scenario, r) for r in rows]
    summary = []
    for axis in range(4):
        errs = [e[axis] for e in row_errors]
        outside = [r["t"] for r, e in zip(rows, errs) if abs(e) >= rule.tolerance[axis]]
        settled = outside[-1] if outside else 0.0
        if end - settled < rule.hold:
            settled = None
        cmd = [abs(r[COMMAND_COLUMNS[axis]]) for r in rows]
        after = [c for r, c in zip(rows, cmd) if settled is not None and r["t"] > settled]
        signs = [math.copysign(1, r[COMMAND_COLUMNS[axis]]) for r in rows if r[COMMAND_COLUMNS[axis]] != 0]
        reversals = sum(a != b for a, b in zip(signs, signs[1:])) / (end - rows[0]["t"])
        summary.append((settled, errs[-1], max(cmd), max(after) if after else None, reversals))
    return summary


def print_table(scenario, summary, rule):
    print("\n" + scenario.title)
    print("  %-8s %12s %14s %18s %16s %14s" % ("axis", "settled at", "final error", "largest command", "once settled",
                                               "reversals/s"))
    for axis, unit, (settled, final, largest, after, reversals) in zip(AXES, UNITS, summary):
        rate = unit + "/s"
        print("  %-8s %12s %14s %18s %16s %14.2f" % (
            axis, "%.1f s" % settled if settled is not None else "never", "%+.3f %s" % (final, unit),
            "%.1f %s" % (largest, rate), "%.1f %s" % (after, rate) if after is not None else "-", reversals))
    times = [s[0] for s in summary]
    overall = "never" if None in times else "%.1f s" % max(times)
    print("  settled within %.2f m and %.2f rad: %s\n" % (rule.tolerance[0], rule.tolerance[3], overall))
    return None not in times


def write_csv(path, results):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["scenario", "t", *POSE_COLUMNS, "target_x", "target_y", "target_z", "target_yaw",
                    *COMMAND_COLUMNS])
        for scenario, rows in results:
            for r in rows:
                w.writerow([scenario.name] + ["%.4f" % v for v in (
                    r["t"], *(r[c] for c in POSE_COLUMNS), *scenario.target, *(r[c] for c in COMMAND_COLUMNS))])


def plot(path, results, rule):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(13, 4.2 * len(results)), layout="constrained")
    for subfig, (scenario, rows) in zip(fig.subfigures(len(results), 1, squeeze=False).flat, results):
        subfig.suptitle(scenario.title, fontsize=10)
        grid = subfig.subplots(2, 4, sharex=True, gridspec_kw={"height_ratios": [2, 1]})
        t = [r["t"] for r in rows]
        for axis, (pose, command) in enumerate(zip(POSE_COLUMNS, COMMAND_COLUMNS)):
            top, bottom = grid[0][axis], grid[1][axis]
            target = scenario.target[axis]
            band = rule.tolerance[axis]
            top.axhspan(target - band, target + band, color="tab:green", alpha=0.15, lw=0, label="tolerance")
            top.axhline(target, color="tab:green", lw=1, ls="--", label="target")
            top.plot(t, [r[pose] for r in rows], color="tab:blue", lw=1.5, label="vehicle")
            top.set_title("%s (%s)" % (AXES[axis], UNITS[axis]), fontsize=9)
            bottom.step(t, [r[command] for r in rows], where="post", color="tab:orange", lw=0.8)
            bottom.set_ylim(-1.15, 1.15)
            bottom.set_xlabel("time (s)", fontsize=8)
            for ax in (top, bottom):
                ax.grid(alpha=0.3)
                ax.tick_params(labelsize=8)
        grid[0][0].legend(fontsize=7, loc="center right")
        grid[1][0].set_ylabel("command\n(m/s, rad/s)", fontsize=8)
    fig.savefig(path, dpi=72)
    plt.close(fig)


def private_processes(out):
    """Children on a private master at a free port, logged into out; Ctrl-C and termination raise SystemExit, so
    a finally that calls stop_all stops every child."""
    port = free_port()
    env = dict(os.environ, ROS_MASTER_URI="http://127.0.0.1:%d" % port, ROS_HOSTNAME="127.0.0.1",
               ROS_HOME=str(out / "ros"), ROSCONSOLE_STDOUT_LINE_BUFFERED="1")
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, interrupted)
    return Processes(env, out), port


def start_master(procs, port):
    """Starts the private master; returns a proxy to it once it answers."""
    master = procs.start("rosmaster", ["rosmaster", "--core", "-p", str(port)])
    proxy = xmlrpc.client.ServerProxy(procs.env["ROS_MASTER_URI"])
    wait_for_master(master, proxy)
    return proxy


def interrupted(signum, _frame):
    print("\ninterrupted: stopping every process the demo started", file=sys.stderr)
    sys.exit(128 + signum)


def arguments(description, vehicle=False):
    """The devel space and the output directory (created) of the command line, and with vehicle its model."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--devel", required=True, type=Path, help="catkin devel space holding the binaries")
    parser.add_argument("--out", required=True, type=Path, help="directory for the results")
    if vehicle:
        parser.add_argument("--vehicle", type=Path, default=VEHICLE,
                            help="vehicle model document of either kind (default: %(default)s)")
    args = parser.parse_args()
    out = args.out.resolve()
    out.mkdir(parents=True, exist_ok=True)
    return (args.devel.resolve(), out) + ((args.vehicle.resolve(),) if vehicle else ())


def main():
    devel, out, vehicle = arguments(__doc__.splitlines()[0], vehicle=True)
    if not vehicle.is_file():
        print("demo failed: no vehicle model at %s" % vehicle, file=sys.stderr)
        return 1
    scenarios = [dataclasses.replace(s, vehicle=vehicle, title=s.title.replace("the default vehicle", vehicle.name))
                 for s in SCENARIOS] if vehicle != VEHICLE.resolve() else SCENARIOS

    procs, port = private_processes(out)
    try:
        rule = settling_rule(devel)
        proxy = start_master(procs, port)
        interactive = sys.stdout.isatty()
        results = []
        for scenario in scenarios:
            print("Running %s on a private master at port %d" % (scenario.title, port), flush=True)
            results.append((scenario, run_scenario(scenario, procs, proxy, devel, out, interactive)))
        settled = [print_table(scenario, summarise(scenario, rows, rule), rule) for scenario, rows in results]
        write_csv(out / "trajectory.csv", results)
        plot(out / "hover_lock_demo.png", results, rule)
        print("Wrote %s and %s" % (out / "hover_lock_demo.png", out / "trajectory.csv"))
    except RuntimeError as e:
        print("\ndemo failed: %s" % e, file=sys.stderr)
        return 1
    finally:
        procs.stop_all()
    if not all(settled):
        print("A scenario did not settle.", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
