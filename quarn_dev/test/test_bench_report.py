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
    names = {"cpidStep", "cpidFilteredStep", "handPidStep", "cpidClockStep", "localClockRead", "errorComputation",
             "headingSinCos", "roundingToTenths", "roundingInDouble", "mapperLoadConfig", "pocoParseConfig",
             "controlStep"}
    return {"benchmarks": [micro_run(n, 10.0 * scale) for n in sorted(names)]}


def rate_figures(rates_hz, seconds, timed, answered_at_5k=15000):
    rates = []
    for hz in rates_hz:
        for k, name in enumerate(("bare", "hover_lock", "bare_log", "hover_lock_state")):
            sent = int(hz * seconds)
            answered = answered_at_5k if (hz == 5000 and name == "hover_lock") else sent
            rate = {"node": name, "hz": hz, "sent": sent, "answered": answered, "seconds": seconds,
                    "cpu": 0.001 * hz + 0.0001 * k}
            if timed:
                rate.update({"p50": 100.0 + k, "p90": 150.0, "p99": 200.0 + k, "max": 900.0 + k})
            rates.append(rate)
    return rates


def ros_figures(answered_at_5k=15000):
    def node(p50, p99, lost=0):
        return {"samples": 5000, "lost": lost, "p50": p50, "p90": 2 * p50, "p99": p99, "max": 10 * p50}

    return {"roundtrip": {"block": 100,
                          "nodes": {"hover_lock": node(210.0, 800.0), "bare": node(150.0, 400.0),
                                    "bare_log": node(200.0, 600.0, lost=2),
                                    "hover_lock_state": node(220.5, 900.0)}},
            "vehicle": rate_figures((100, 10), 6.0, True),
            "rate": rate_figures((5000, 1000), 3.0, False, answered_at_5k)}


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
        # Paced at a vehicle rate: against hover_lock at the same rate.
        self.assertEqual(["103.0", "hover_lock, ~state off", "101.0", "1.020", "<= 1.05: met", "60 / 60"],
                         row_of(rows, "Controller state at 10 Hz", "hover_lock + ~state p50")[2:8])

    def test_info_line_cost_against_the_silent_node(self):
        rows = bench.table(ros_figures(), micro_figures())
        self.assertEqual(["200.0", "bare node", "150.0", "1.333"],
                         row_of(rows, "INFO line per message", "bare node + INFO line p50")[2:6])

    def test_microbenchmarks_in_their_units(self):
        rows = bench.table(ros_figures(), micro_figures(scale=1000.0))
        self.assertEqual(["10000.00", "hand-written PID step", "10000.00", "1.000", "<= 1.50: met"],
                         row_of(rows, "PID step", "CPid::action(measure, T)")[2:7])
        self.assertEqual(["10.0", "Poco DOM parse of the same text", "10.0"],
                         row_of(rows, "Configuration load", "XmlParamMapper")[2:5])
        self.assertEqual(["10.00", "bare node round trip p50", "150.00", "0.067"],
                         row_of(rows, "Callback arithmetic", "copy")[2:6])

    def test_tool_timings_against_their_goals(self):
        timings = [{"bench": "Scenario campaign", "measured": "hover_lock_tune evaluate", "seconds": 4.2,
                    "on": "200 runs", "goal": 5.0},
                   {"bench": "Tuning", "measured": "hover_lock_tune tune", "seconds": 61.0, "on": "defaults",
                    "goal": 60.0},
                   {"bench": "Identification", "measured": "hover_lock_tune identify", "seconds": 7.0,
                    "on": "20 s", "goal": None}]
        rows = bench.table(ros_figures(), micro_figures(), timings)
        self.assertEqual(["4.20", "goal", "5.00", "0.840", "< goal: met", "200 runs"],
                         row_of(rows, "Scenario campaign", "hover_lock_tune")[2:8])
        self.assertEqual("< goal: missed", row_of(rows, "Tuning", "hover_lock_tune")[6])
        self.assertEqual("", row_of(rows, "Identification", "hover_lock_tune")[6])


class RateTable(unittest.TestCase):
    def test_vehicle_rates_per_node_with_round_trips(self):
        rows = bench.rate_table(ros_figures()["vehicle"], True)
        self.assertEqual("| Rate | Node | Answered / sent | CPU (% of a core) | Round trip p50 (us) | p99 (us) | "
                         "max (us) |", rows[0])
        # Ascending rates, hover_lock first, whatever order the figures come in.
        self.assertEqual(["| 10 Hz | hover_lock | 60 / 60 | 1.01 | 101.0 | 201.0 | 901.0 |",
                          "| 10 Hz | bare node + INFO line | 60 / 60 | 1.02 | 102.0 | 202.0 | 902.0 |",
                          "| 10 Hz | bare node | 60 / 60 | 1.00 | 100.0 | 200.0 | 900.0 |",
                          "| 10 Hz | hover_lock + ~state | 60 / 60 | 1.03 | 103.0 | 203.0 | 903.0 |"], rows[2:6])
        self.assertEqual(10, len(rows))

    def test_stress_rates_without_round_trips_or_goals(self):
        rows = bench.rate_table(ros_figures(answered_at_5k=14999)["rate"], False)
        self.assertEqual("| Rate | Node | Answered / sent | CPU (% of a core) |", rows[0])
        self.assertEqual("| 5000 Hz | hover_lock | 14999 / 15000 | 500.01 |", rows[6])


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
        fake_binary(tools, "closed_loop_bag", "exit 0")

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
        # The rates a vehicle runs lead, then the stress rates, then the comparisons with their baselines.
        vehicle = text.index("| 10 Hz | hover_lock | 60 / 60 |")
        stress = text.index("| 1000 Hz | hover_lock | 3000 / 3000 |")
        round_trip = text.index("| Round trip | hover_lock p50 (us) | 210.0 |")
        self.assertLess(vehicle, stress)
        self.assertLess(stress, round_trip)
        self.assertIn("| Callback arithmetic |", text)
        for timed in ("Scenario campaign", "Identification", "Tuning"):
            self.assertIn("| %s |" % timed, text)

    def test_a_failing_benchmark_fails_the_run(self):
        fake_binary(self.bin, "ros_bench", "echo no master; exit 3")
        with mock.patch("sys.stderr", new_callable=io.StringIO):
            with self.assertRaises(SystemExit) as end:
                self.run_bench()
        self.assertIn("ros_bench failed with status 3", str(end.exception.code))
        self.assertFalse(os.path.exists(os.path.join(self.out, "results.md")))


if __name__ == "__main__":
    unittest.main()
