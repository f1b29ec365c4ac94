"""The benchmark table: ratios, goals, medians and sample counts from the raw figures."""

import io
import json
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import bench  # noqa: E402


def micro_run(name, cpu_ns, iterations=1000, aggregate=False):
    return {"run_name": name, "run_type": "aggregate" if aggregate else "iteration", "cpu_time": cpu_ns,
            "iterations": iterations}


def micro_figures(scale=1.0):
    names = {"cpidStep", "handPidStep", "cpidClockStep", "localClockRead", "errorComputation", "headingSinCos",
             "roundingToTenths", "roundingInDouble", "mapperLoadConfig", "pocoParseConfig", "controlStep"}
    return {"benchmarks": [micro_run(n, 10.0 * scale) for n in sorted(names)]}


def ros_figures(answered_at_5k=15000):
    def node(p50, p99, lost=0):
        return {"samples": 5000, "lost": lost, "p50": p50, "p90": 2 * p50, "p99": p99, "max": 10 * p50}

    rates = []
    for hz in (100, 5000, 10000):
        for name in ("hover_lock", "bare_log", "bare"):
            sent = hz * 3
            answered = answered_at_5k if (hz == 5000 and name == "hover_lock") else sent
            rates.append({"node": name, "hz": hz, "sent": sent, "answered": answered, "seconds": 3.0, "cpu": 0.1})
    return {"roundtrip": {"block": 100,
                          "nodes": {"hover_lock": node(210.0, 800.0), "bare": node(150.0, 400.0),
                                    "bare_log": node(200.0, 600.0, lost=2),
                                    "hover_lock_state": node(220.5, 900.0)}},
            "rate": rates}


def row_of(rows, bench_name, measured):
    matches = [r for r in rows if r.startswith("| %s | %s" % (bench_name, measured))]
    assert len(matches) == 1, (bench_name, measured, rows)
    return [cell.strip() for cell in matches[0].strip("|").split("|")]


class GoalText(unittest.TestCase):
    def test_limits(self):
        cases = [(1.05, 1.05, "<= 1.05: met"), (1.0500001, 1.05, "<= 1.05: missed"), (0.5, 1.5, "<= 1.50: met"),
                 (3.0, None, ""), (3.0, "all answered: met", "all answered: met")]
        for r, limit, expected in cases:
            self.assertEqual(expected, bench.goal_text(r, limit), (r, limit))


class MicroMedians(unittest.TestCase):
    def test_median_of_odd_and_even_runs_ignores_aggregates(self):
        micro = {"benchmarks": [micro_run("a", 3.0), micro_run("a", 1.0), micro_run("a", 2.0),
                                micro_run("a", 100.0, aggregate=True),
                                micro_run("b", 4.0, 10), micro_run("b", 1.0, 20)]}
        figures = bench.micro_medians(micro)
        self.assertEqual((2.0, 3, 3000), figures["a"])
        self.assertEqual((2.5, 2, 30), figures["b"])


class Table(unittest.TestCase):
    def test_round_trip_against_the_logging_node(self):
        rows = bench.table(ros_figures(), micro_figures())
        p50 = row_of(rows, "Round trip", "hover_lock p50")
        self.assertEqual(["210.0", "bare node + INFO line", "200.0", "1.050", "<= 1.05: met"], p50[2:7])
        self.assertEqual("5000 / 5000 (2 lost)", p50[7])
        self.assertEqual("<= 1.25: missed", row_of(rows, "Round trip", "hover_lock p99")[6])
        self.assertEqual("", row_of(rows, "Round trip", "hover_lock max")[6])

    def test_state_against_the_same_node_without_it(self):
        rows = bench.table(ros_figures(), micro_figures())
        self.assertEqual(["220.5", "hover_lock, ~state off", "210.0", "1.050", "<= 1.05: met"],
                         row_of(rows, "Controller state", "hover_lock + ~state p50")[2:7])
        self.assertEqual("", row_of(rows, "Controller state", "hover_lock + ~state p99")[6])

    def test_info_line_cost_against_the_silent_node(self):
        rows = bench.table(ros_figures(), micro_figures())
        self.assertEqual(["200.0", "bare node", "150.0", "1.333"],
                         row_of(rows, "INFO line per message", "bare node + INFO line p50")[2:6])

    def test_rate_goal_holds_up_to_5_khz_only(self):
        rows = bench.table(ros_figures(answered_at_5k=14999), micro_figures())
        self.assertEqual("all answered: met", row_of(rows, "Rate 100 Hz", "hover_lock answered")[6])
        self.assertEqual("all answered: missed", row_of(rows, "Rate 5000 Hz", "hover_lock answered")[6])
        self.assertEqual("", row_of(rows, "Rate 10000 Hz", "hover_lock answered")[6])
        self.assertEqual(["0.9999", "bare node + INFO line", "1.0000", "1.000"],
                         row_of(rows, "Rate 5000 Hz", "hover_lock answered")[2:6])
        self.assertEqual(["1.0000", "bare node", "1.0000"],
                         row_of(rows, "Rate 5000 Hz", "bare node + INFO line answered")[2:5])

    def test_microbenchmarks_in_their_units(self):
        rows = bench.table(ros_figures(), micro_figures(scale=1000.0))
        self.assertEqual(["10000.00", "hand-written PID step", "10000.00", "1.000", "<= 1.50: met"],
                         row_of(rows, "PID step", "CPid::action(measure, T)")[2:7])
        self.assertEqual(["10.0", "Poco DOM parse of the same text", "10.0"],
                         row_of(rows, "Configuration load", "XmlParamMapper")[2:5])
        self.assertEqual(["10.00", "bare node round trip p50", "150.00", "0.067"],
                         row_of(rows, "Callback arithmetic", "copy")[2:6])

    def test_campaign_against_its_goal(self):
        scored = {"seconds": 4.2, "runs": 200, "duration": 60, "goal": 5.0}
        rows = bench.table(ros_figures(), micro_figures(), scored)
        self.assertEqual(["4.20", "goal", "5.00", "0.840", "< goal: met", "200 runs x 60 s at 10 Hz, 2 threads"],
                         row_of(rows, "Scenario campaign", "hover_lock_tune")[2:8])
        brief = dict(scored, seconds=7.0, goal=None)
        self.assertEqual("", row_of(bench.table(ros_figures(), micro_figures(), brief), "Scenario campaign",
                                    "hover_lock_tune")[6])


def fake_binary(directory, name, body):
    """An executable shell script standing in for one of the benchmark binaries."""
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o755)


class Pipeline(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.bin = os.path.join(self.dir.name, "bin")
        self.out = os.path.join(self.dir.name, "out")
        os.mkdir(self.bin)
        for name, figures in (("ros.fixture", ros_figures()), ("micro.fixture", micro_figures())):
            with open(os.path.join(self.bin, name), "w") as f:
                json.dump(figures, f)
        # Each fake writes its fixture where it is told to: ros_bench after --out, micro_bench to --benchmark_out=.
        fake_binary(self.bin, "ros_bench",
                    'while [ "$1" != --out ]; do shift; done; cp "$(dirname "$0")/ros.fixture" "$2"')
        fake_binary(self.bin, "micro_bench",
                    'for a; do case "$a" in --benchmark_out=*) cp "$(dirname "$0")/micro.fixture" "${a#*=}";; '
                    'esac; done')
        # hover_lock_tune lives beside the bin directory, in quarn_sim's.
        tools = os.path.join(self.dir.name, "quarn_sim")
        os.mkdir(tools)
        fake_binary(tools, "hover_lock_tune", "exit 0")

    def tearDown(self):
        self.dir.cleanup()

    def run_bench(self):
        with mock.patch.object(sys, "argv", ["bench.py", self.bin, self.out, "--brief"]), \
                mock.patch("sys.stdout", new_callable=io.StringIO):
            bench.main()

    def test_table_is_written_to_results(self):
        self.run_bench()
        with open(os.path.join(self.out, "results.md")) as f:
            text = f.read()
        self.assertIn("Brief run", text)
        self.assertIn("| Round trip | hover_lock p50 (us) | 210.0 |", text)
        self.assertIn("| Callback arithmetic |", text)
        self.assertIn("| Scenario campaign |", text)

    def test_a_failing_benchmark_fails_the_run(self):
        fake_binary(self.bin, "ros_bench", "echo no master; exit 3")
        with mock.patch("sys.stderr", new_callable=io.StringIO):
            with self.assertRaises(SystemExit) as end:
                self.run_bench()
        self.assertIn("ros_bench failed with status 3", str(end.exception.code))
        self.assertFalse(os.path.exists(os.path.join(self.out, "results.md")))


if __name__ == "__main__":
    unittest.main()
