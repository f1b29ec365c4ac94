#!/usr/bin/python3
"""Runs the benchmarks and prints their tables: navigation at the rates a vehicle runs, stress rates, and each
other figure beside its baseline from the same run.

    bench.py BIN_DIR OUT_DIR [--brief]

BIN_DIR holds ros_bench and micro_bench (and the nodes ros_bench starts). The tables, with the machine and the
sample counts, are printed and written to OUT_DIR/results.md; the raw figures stay in OUT_DIR as JSON.
--brief runs everything once with tiny counts: it shows that the benchmarks still build and run, and its
figures mean nothing.
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

FULL = {
    "ros": [],
    "micro": ["--benchmark_min_time=0.2", "--benchmark_repetitions=5"],
}
BRIEF = {
    "ros": ["--samples", "20", "--block", "5", "--vehicle-seconds", "0.6", "--rate-seconds", "0.05", "--reloads", "3"],
    "micro": ["--benchmark_min_time=0.001", "--benchmark_repetitions=1"],
}

# Microbenchmark rows: what is measured, its baseline, the unit shown and the goal on the ratio (or None).
MICRO_ROWS = [
    ("PID step", "cpidStep", "CPid::action(measure, T)", "handPidStep", "hand-written PID step", "ns", 1.5),
    ("Filtered PID step", "cpidFilteredStep", "CPid::action, derivative filter on", "cpidStep",
     "CPid::action, filter off", "ns", None),
    ("Clock-driven PID step", "cpidClockStep", "CPid::action(measure)", "localClockRead", "local clock read alone",
     "ns", None),
    ("Error computation", "errorComputation", "computeErrorPosition", "headingSinCos", "sin and cos of the heading",
     "ns", None),
    ("Rounding", "roundingToTenths", "tenth (via single precision)", "roundingInDouble",
     "rounding in double alone", "ns", None),
    ("Configuration load", "mapperLoadConfig", "XmlParamMapper: 6 items + load", "pocoParseConfig",
     "Poco DOM parse of the same text", "us", 1.5),
]
NODE_NAMES = [("hover_lock", "hover_lock"), ("bare_log", "bare node + INFO line"), ("bare", "bare node"),
              ("hover_lock_state", "hover_lock + ~state")]
# The scenario campaign of hover_lock_tune: the mode 1 example on the default vehicle; runs, seconds each, goal (s).
CAMPAIGN = {"full": (200, 60, 5.0), "brief": (2, 5, None)}
# The same campaign on the thruster-driven vehicle: the whole standard set.
THRUSTER_CAMPAIGN = {"full": (256, 60, 5.0), "brief": (2, 5, None)}
# The same for the mode 0 example on its own scenario set.
SERVOING_CAMPAIGN = {"full": (256, 60, 5.0), "brief": (2, 5, None)}
# identify on a bag of the default vehicle held from an offset: seconds recorded, navigation rate (Hz), goal (s).
IDENTIFY = {"full": (600, 20, 5.0), "brief": (20, 20, None)}
# tune of the mode 1 example on the default vehicle: options, goal (s).
TUNE = {"full": ([], 60.0), "brief": (["--evaluations", "2", "--scenarios", "2", "--search-duration", "5", "--runs",
                                       "2", "--max-reversals", "40"], None)}
ROUND_TRIP_GOALS = {"p50": 1.05, "p99": 1.25}
STATE_GOALS = {"p50": 1.05}  # publishing ~state against not publishing it
RELOAD_GOAL_MS = 5.0  # a call to ~reload that re-reads the example, at p50


def run(cmd, log):
    """Runs cmd with its output in log; exits with its status and the log's tail when it fails."""
    with open(log, "w") as out:
        status = subprocess.call(cmd, stdout=out, stderr=subprocess.STDOUT)
    if status != 0:
        with open(log) as failed:
            sys.stderr.write(failed.read()[-4000:])
        sys.exit("bench: %s failed with status %d (log: %s)" % (os.path.basename(cmd[0]), status, log))


def machine():
    """One line naming the machine and how busy it was."""
    model = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%s, %d cores, Linux %s" % (model, os.cpu_count(), platform.release())


def ratio(value, baseline):
    return value / baseline if baseline > 0 else float("nan")


def goal_text(r, limit):
    """limit: a bound on the ratio, a ready text, or None for no goal."""
    if limit is None:
        return ""
    if isinstance(limit, str):
        return limit
    return "<= %.2f: %s" % (limit, "met" if r <= limit else "missed")


def micro_medians(micro):
    """Median CPU time (ns) and total iterations per benchmark, from Google Benchmark's JSON."""
    runs = {}
    for b in micro["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration":
            runs.setdefault(b["run_name"], []).append(b)
    figures = {}
    for name, rs in runs.items():
        figures[name] = (statistics.median(r["cpu_time"] for r in rs), len(rs), sum(r["iterations"] for r in rs))
    return figures


def tool_timings(bin_dir, out_dir, brief):
    """Wall-clock seconds of hover_lock_tune's evaluate, identify and tune on the default vehicle: one dict per
    tool with the row's name, what it ran on and its goal."""
    size = "brief" if brief else "full"
    here = os.path.dirname(os.path.abspath(__file__))
    tools = os.path.join(bin_dir, os.pardir, "quarn_sim")
    tool = os.path.join(tools, "hover_lock_tune")
    model = os.path.join(here, os.pardir, os.pardir, "quarn_sim", "config", "vehicle_default.xml")
    config = os.path.join(here, os.pardir, "config", "hover_lock_mode1.xml")

    def timed(name, what, cmd, on, goal):
        started = time.monotonic()
        run(cmd, os.path.join(out_dir, name + ".log"))
        return {"bench": what[0], "measured": what[1], "seconds": time.monotonic() - started, "on": on,
                "goal": goal}

    heavy = os.path.join(here, os.pardir, os.pardir, "quarn_sim", "config", "vehicle_heavy_rov.xml")
    servoing = os.path.join(here, os.pardir, "config", "hover_lock_mode0.xml")
    timings = []
    for name, bench_name, bench_model, mode_config, sizes, on in (
            ("campaign", "Scenario campaign", model, config, CAMPAIGN, "at 10 Hz"),
            ("campaign_thrusters", "Scenario campaign, thruster vehicle", heavy, config, THRUSTER_CAMPAIGN,
             "on vehicle_heavy_rov.xml"),
            ("campaign_mode0", "Scenario campaign, mode 0", model, servoing, SERVOING_CAMPAIGN, "at 10 Hz")):
        runs, seconds, goal = sizes[size]
        timings.append(timed(name, (bench_name, "hover_lock_tune evaluate, wall clock (s)"),
                             [tool, "evaluate", bench_model, mode_config, "--runs", str(runs), "--duration",
                              str(seconds)], "%d runs x %d s %s, 2 threads" % (runs, seconds, on), goal))
    seconds, rate, goal = IDENTIFY[size]
    bag = os.path.join(out_dir, "closed_loop.bag")
    run([os.path.join(tools, "closed_loop_bag"), model, bag, str(seconds), str(rate)],
        os.path.join(out_dir, "closed_loop_bag.log"))
    timings.append(timed("identify", ("Identification", "hover_lock_tune identify, wall clock (s)"),
                         [tool, "identify", bag, "-o", os.path.join(out_dir, "identified.xml")],
                         "a bag of %d s of the default vehicle at %d Hz" % (seconds, rate), goal))
    options, goal = TUNE[size]
    timings.append(timed("tune", ("Tuning", "hover_lock_tune tune, wall clock (s)"),
                         [tool, "tune", model, "--config", config, "-o", os.path.join(out_dir, "tuned.xml")]
                         + options, "mode 1 example on the default vehicle, %s" % (" ".join(options) or "defaults"),
                         goal))
    return timings


def table(ros, micro, timings=()):
    """Markdown rows of every figure against its baseline."""
    rows = ["| Benchmark | Measured | Value | Baseline | Value | Ratio | Goal | Samples |",
            "|---|---|---:|---|---:|---:|---|---|"]

    def row(bench, what, value, base, base_value, fmt, limit, samples):
        r = ratio(value, base_value)
        rows.append("| %s | %s | %s | %s | %s | %.3f | %s | %s |"
                    % (bench, what, fmt % value, base, fmt % base_value, r, goal_text(r, limit), samples))

    nodes = ros["roundtrip"]["nodes"]
    hl, bare, log = nodes["hover_lock"], nodes["bare"], nodes["bare_log"]

    def counted(n):
        return "%d" % n["samples"] + (" (%d lost)" % n["lost"] if n["lost"] else "")

    for p in ("p50", "p90", "p99", "max"):
        row("Round trip", "hover_lock %s (us)" % p, hl[p], "bare node + INFO line", log[p], "%.1f",
            ROUND_TRIP_GOALS.get(p), "%s / %s" % (counted(hl), counted(log)))
    state = nodes["hover_lock_state"]
    for p in ("p50", "p99"):
        row("Controller state", "hover_lock + ~state %s (us)" % p, state[p], "hover_lock, ~state off", hl[p],
            "%.1f", STATE_GOALS.get(p), "%s / %s" % (counted(state), counted(hl)))
    paced = {(r["node"], r["hz"]): r for r in ros["vehicle"]}
    for hz in sorted({r["hz"] for r in ros["vehicle"]}):
        on, off = paced[("hover_lock_state", hz)], paced[("hover_lock", hz)]
        row("Controller state at %d Hz" % hz, "hover_lock + ~state p50 (us)", on["p50"], "hover_lock, ~state off",
            off["p50"], "%.1f", STATE_GOALS["p50"], "%d / %d" % (on["answered"], off["answered"]))
    for p in ("p50", "p99"):
        row("INFO line per message", "bare node + INFO line %s (us)" % p, log[p], "bare node", bare[p], "%.1f",
            None, "%s / %s" % (counted(log), counted(bare)))


    figures = micro_medians(micro)
    for bench, name, what, base_name, base, unit, limit in MICRO_ROWS:
        value, runs, iterations = figures[name]
        base_value, base_runs, base_iterations = figures[base_name]
        scale = 1000.0 if unit == "us" else 1.0
        row(bench, "%s (%s)" % (what, unit), value / scale, base, base_value / scale,
            "%.1f" if unit == "us" else "%.2f", limit,
            "%d runs, %d / %d iterations" % (runs, iterations, base_iterations))

    step = figures["controlStep"][0] / 1000.0
    row("Callback arithmetic", "copy, error, 4 clock-driven steps, response (us)", step,
        "bare node round trip p50", bare["p50"], "%.2f", None,
        "%d runs, %d iterations" % figures["controlStep"][1:])
    reload = ros.get("reload")
    if reload:
        ms = reload["p50"] / 1000.0
        row("Reload", "~reload of the example, service call p50 (ms)", ms, "goal", RELOAD_GOAL_MS, "%.2f",
            "< goal: %s" % ("met" if ms < RELOAD_GOAL_MS else "missed"),
            "%d calls, p99 %.2f ms" % (reload["samples"], reload["p99"] / 1000.0))
    for t in timings:
        goal = t["goal"]
        row(t["bench"], t["measured"], t["seconds"], "goal", goal or float("nan"), "%.2f",
            goal and ("< goal: %s" % ("met" if t["seconds"] < goal else "missed")), t["on"])
    return rows


def rate_table(rates, timed):
    """Markdown rows per rate and node: answers, CPU share and, when timed, round trips of the paced answers."""
    head = "| Rate | Node | Answered / sent | CPU (% of a core) |"
    rule = "|---:|---|---:|---:|"
    if timed:
        head += " Round trip p50 (us) | p99 (us) | max (us) |"
        rule += "---:|---:|---:|"
    rows = [head, rule]
    by_node = {(r["node"], r["hz"]): r for r in rates}
    for hz in sorted({r["hz"] for r in rates}):
        for node, label in NODE_NAMES:
            r = by_node[(node, hz)]
            cells = ["%d Hz" % hz, label, "%d / %d" % (r["answered"], r["sent"]), "%.2f" % (100 * r["cpu"])]
            if timed:
                cells += ["%.1f" % r[p] for p in ("p50", "p99", "max")]
            rows.append("| %s |" % " | ".join(cells))
    return rows


def report(ros, micro, started, load_before, load_after, brief, timings=()):
    lines = ["Benchmarks of hover_lock, %s (reproduce with `make bench`)." % started,
             "",
             "Machine: %s; load average %.2f before the run and %.2f after it." % (machine(), load_before,
                                                                                    load_after)]
    if brief:
        lines.append("Brief run: counts far too small for the figures to mean anything.")
    # The run itself loads the machine by about one core, so only the load before it tells of other work.
    if load_before > 0.5:
        lines.append("Other work ran on the machine: the figures are noisy, the ratios less so.")
    seconds = ros["vehicle"][0]["sent"] / ros["vehicle"][0]["hz"] if ros["vehicle"] else 0.0
    lines += ["",
              "Navigation at the rates a vehicle runs, %.1f s of messages per node and rate in alternating windows; "
              "a round trip runs from the latest message sent to its answer:" % seconds,
              ""] + rate_table(ros["vehicle"], True)
    lines += ["",
              "Stress rates: with queue size 1 on both topics a newer message replaces an older one that waits, "
              "so every node, the silent bare one too, drops some messages once a thread is descheduled:",
              ""] + rate_table(ros["rate"], False)
    lines += ["",
              "Round trips one message at a time, alternating between the nodes in blocks of %d; times are "
              "wall-clock. Microbenchmarks: median CPU time of the runs." % ros["roundtrip"]["block"],
              "Both hover_lock nodes publish their diagnostics; the client reads them and the ~state topic, as "
              "an aggregator and a plotter would.", ""]
    return "\n".join(lines + table(ros, micro, timings)) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("bin_dir")
    parser.add_argument("out_dir")
    parser.add_argument("--brief", action="store_true", help="tiny counts: check that everything runs")
    args = parser.parse_args()
    counts = BRIEF if args.brief else FULL
    os.makedirs(args.out_dir, exist_ok=True)
    ros_json = os.path.join(args.out_dir, "ros.json")
    micro_json = os.path.join(args.out_dir, "micro.json")
    started = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    load_before = os.getloadavg()[0]
    if not args.brief:
        print("bench: round trips and rates (about two minutes), microbenchmarks, then the tuning tools (about a "
              "minute)...", flush=True)
    run([os.path.join(args.bin_dir, "ros_bench")] + counts["ros"] + ["--out", ros_json],
        os.path.join(args.out_dir, "ros_bench.log"))
    run([os.path.join(args.bin_dir, "micro_bench")] + counts["micro"]
        + ["--benchmark_out=" + micro_json, "--benchmark_out_format=json"],
        os.path.join(args.out_dir, "micro_bench.log"))
    timings = tool_timings(args.bin_dir, args.out_dir, args.brief)
    with open(ros_json) as r, open(micro_json) as m:
        text = report(json.load(r), json.load(m), started, load_before, os.getloadavg()[0], args.brief, timings)
    with open(os.path.join(args.out_dir, "results.md"), "w") as out:
        out.write(text)
    print(text, end="")


if __name__ == "__main__":
    main()
