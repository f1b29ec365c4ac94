#!/usr/bin/python3
"""From a recorded bag to tuned gains, on a private ROS master: records the default simulated vehicle held by
hover_lock with the example configuration (rosbag record), identifies the vehicle from the bag, tunes the gains
on the identified model, then runs the real node against vehicle_sim with the example and with the tuned gains.

Prints each step's output and a table per run, writes recorded.bag, model.xml, tuned.xml and tune_demo.png into
the output directory. Every process it starts is stopped by its pid, also on Ctrl-C and on failure.

    /usr/bin/python3 quarn_sim/demo/run_tune_demo.py --devel build/devel --out out/tune
"""
import subprocess
import sys
import time

import run_demo
from run_demo import Scenario

EXAMPLE = run_demo.SOURCES / "quarn_dev" / "config" / "hover_lock_mode1.xml"
TARGET = (0.0, 0.0, 2.0, 0.0)
# The demo's start offset; the recording is the example configuration holding the pose from it.
START = (3.0, 0.0, 3.0, 1.0)
RECORDED = 60.0  # s
COMPARED = 40.0  # s of each comparison run
SEED = 9


def record(procs, proxy, devel, out, interactive):
    """The example holding the pose, recorded by rosbag; returns the bag's path."""
    bag = out / "recorded.bag"
    recorder = procs.start("rosbag_record", ["/usr/lib/rosbag/record", "-O", str(bag), "/navigator_data",
                                             "/behavior_response"])
    deadline = time.monotonic() + 20.0
    while (out / "rosbag_record.log").read_text(errors="replace").count("Subscribing to") < 2:
        if recorder.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("rosbag record did not subscribe:\n" + procs.tail(recorder))
        time.sleep(0.05)
    scenario = Scenario("record", "recording: the example configuration holds (0, 0, 2, 0) from (3, 0, 3, 1)",
                        EXAMPLE, TARGET, START, SEED, RECORDED)
    run_demo.run_scenario(scenario, procs, proxy, devel, out, interactive)
    procs.stop(recorder)
    if not bag.exists():
        raise RuntimeError("rosbag record wrote no bag:\n" + (out / "rosbag_record.log").read_text())
    return bag


def tool(devel, *args):
    """Runs hover_lock_tune with args, its output shown and returned; RuntimeError when it fails."""
    command = [str(devel / "lib" / "quarn_sim" / "hover_lock_tune"), *map(str, args)]
    print("\n$ hover_lock_tune " + " ".join(map(str, args)), flush=True)
    run = subprocess.run(command, stdout=subprocess.PIPE, text=True)
    print(run.stdout, end="", flush=True)
    if run.returncode != 0:
        raise RuntimeError("hover_lock_tune %s failed" % args[0])
    return run.stdout


def main():
    devel, out = run_demo.arguments(__doc__.splitlines()[0])

    procs, port = run_demo.private_processes(out)
    try:
        rule = run_demo.settling_rule(devel)
        proxy = run_demo.start_master(procs, port)
        interactive = sys.stdout.isatty()
        print("Recording %.0f s of the default vehicle on a private master at port %d" % (RECORDED, port), flush=True)
        bag = record(procs, proxy, devel, out, interactive)
        model, tuned = out / "model.xml", out / "tuned.xml"
        tool(devel, "identify", bag, "-o", model)
        kept = "wrote the base gains" in tool(devel, "tune", model, "--config", EXAMPLE, "-o", tuned)

        results = []
        tuned_title = "tuned gains (the search found none better: the example's)" if kept else "tuned gains"
        for name, config, title in (("example", EXAMPLE, "example gains"), ("tuned", tuned, tuned_title)):
            scenario = Scenario(name, "%s on the default vehicle: hold (0, 0, 2, 0) from (3, 0, 3, 1)" % title,
                                config, TARGET, START, SEED, COMPARED)
            print("\nRunning the real node with the %s gains" % name, flush=True)
            results.append((scenario, run_demo.run_scenario(scenario, procs, proxy, devel, out, interactive)))
        for scenario, rows in results:
            run_demo.print_table(scenario, run_demo.summarise(scenario, rows, rule), rule)
        run_demo.plot(out / "tune_demo.png", results, rule)
        print("Wrote %s" % (out / "tune_demo.png"))
    except RuntimeError as e:
        print("\ntune demo failed: %s" % e, file=sys.stderr)
        return 1
    finally:
        procs.stop_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
