"""hover_lock_tune as a user runs it: subcommand dispatch, exit statuses and the JSON of evaluate.

    test_hover_lock_tune.py TOOL
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
MODEL = os.path.join(SOURCES, "quarn_sim", "config", "vehicle_default.xml")
HEAVY = os.path.join(SOURCES, "quarn_sim", "config", "vehicle_heavy_rov.xml")
MODE1 = os.path.join(SOURCES, "quarn_dev", "config", "hover_lock_mode1.xml")
MODE0 = os.path.join(SOURCES, "quarn_dev", "config", "hover_lock_mode0.xml")
TOOL = None


def tool(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120)


class Dispatch(unittest.TestCase):
    def test_help_lists_evaluate_and_a_wrong_command_line_is_status_1(self):
        self.assertIn("evaluate", tool("--help").stdout)
        self.assertIn("MODEL.xml CONFIG.xml", tool("help", "evaluate").stdout)
        self.assertEqual(1, tool().returncode)
        wrong = tool("frobnicate")
        self.assertEqual(1, wrong.returncode)
        self.assertIn("unknown subcommand 'frobnicate'", wrong.stderr)
        self.assertEqual(1, tool("evaluate", MODEL).returncode)
        self.assertEqual(1, tool("evaluate", MODEL, MODE1, "--runs", "x").returncode)

    def test_settling_prints_the_rule_evaluate_states(self):
        rule = json.loads(tool("settling").stdout)
        stated = tool("evaluate", MODEL, MODE1, "--runs", "1").stdout
        self.assertIn("within %g m and %g rad, held %g s" % (rule["tolerance"][0], rule["tolerance"][3], rule["hold"]),
                      stated)
        self.assertEqual(4, len(rule["tolerance"]))
        self.assertEqual(1, tool("settling", "extra").returncode)


class Evaluate(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, text):
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_unreadable_or_refused_documents_are_status_2_naming_file_and_item(self):
        with open(MODEL) as f:
            model = f.read()
        broken = self.write("broken.xml", model.replace('<nav_rate type="real" value="10.0"/>',
                                                        '<nav_rate type="real" value="0"/>'))
        camera_rate_only = self.write("camera.xml", model.replace(
            "</vehicle_model>", '<camera_rate type="real" value="10"/></vehicle_model>'))
        with open(MODE0) as f:
            mode2 = self.write("mode2.xml", f.read().replace('value="0"/>', 'value="2"/>', 1))
        missing = os.path.join(self.dir.name, "none.xml")
        short = self.write("short.xml", "<c><mode type=\"integer\" value=\"1\"/></c>")
        malformed = self.write("bad.xml", "<c>")
        # model, configuration, the file the message names, what it says
        cases = [(missing, MODE1, missing, "cannot read"),
                 (broken, MODE1, broken, "nav_rate must be > 0"),
                 (MODEL, short, short, "Path element not found"),
                 (camera_rate_only, MODE0, camera_rate_only, "camera_latency is missing"),
                 (MODEL, mode2, mode2, "mode 2"),
                 (MODEL, malformed, malformed, "refused")]
        for model, config, named, message in cases:
            result = tool("evaluate", model, config)
            self.assertEqual(2, result.returncode, (model, config, result.stderr))
            self.assertIn(message, result.stderr)
            self.assertIn(named, result.stderr)

    def test_json_holds_every_run_and_the_summary(self):
        out = os.path.join(self.dir.name, "c.json")
        result = tool("evaluate", MODEL, MODE1, "--runs", "3", "--first", "8", "--duration", "30", "--json", out)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("settled", result.stdout)
        with open(out) as f:
            document = json.load(f)
        self.assertEqual([8, 9, 10], [r["run"] for r in document["runs"]])
        self.assertEqual(9, document["runs"][0]["seed"])
        summary = document["summary"]
        self.assertEqual(3, summary["runs"])
        self.assertEqual({"x", "y", "depth", "heading"}, set(summary["rms"]))
        settled = [r for r in document["runs"] if r["settled"]]
        self.assertEqual(len(settled), summary["settled"])
        if len(settled) < 3:
            self.assertIsNone(summary["settling_p95"])
        for r in document["runs"]:
            self.assertEqual(r["settled"], r["settling_time"] is not None)

    def test_a_thruster_driven_model_reports_its_thrusters_and_a_first_order_one_does_not(self):
        for model, config, has_thrusters in ((HEAVY, MODE1, True), (HEAVY, MODE0, True), (MODEL, MODE1, False)):
            out = os.path.join(self.dir.name, "t.json")
            result = tool("evaluate", model, config, "--runs", "2", "--duration", "20", "--json", out)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual(has_thrusters, "thrust reversals" in result.stdout, result.stdout)
            with open(out) as f:
                document = json.load(f)
            for part in document["runs"] + [document["summary"]]:
                self.assertEqual(has_thrusters, "thrusters" in part, (model, part))
                if has_thrusters:
                    use = part["thrusters"]
                    self.assertEqual(8, len(use["mean_abs_thrust"]))
                    self.assertTrue(all(0 < t <= 30 for t in use["mean_abs_thrust"]), use)
                    self.assertTrue(0 <= use["saturated_share"] <= 1, use)
                    self.assertGreaterEqual(use["reversals_per_second"], 0)



class Tune(unittest.TestCase):
    TINY = ["--evaluations", "3", "--scenarios", "2", "--search-duration", "10", "--runs", "4"]

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def test_max_reversals_not_a_positive_number_is_status_1(self):
        out = os.path.join(self.dir.name, "t.xml")
        for bad in ["0", "-1", "abc", "nan", "inf"]:
            result = tool("tune", MODEL, "--config", MODE1, "-o", out, "--max-reversals", bad, *self.TINY)
            self.assertEqual(1, result.returncode, (bad, result.stderr))
            self.assertIn("max-reversals", result.stderr)
        self.assertFalse(os.path.exists(out))

    def test_the_tuned_file_is_the_base_with_new_gains_and_a_comment(self):
        for base in [MODE1, MODE0]:
            out = os.path.join(self.dir.name, "tuned.xml")
            result = tool("tune", MODEL, "--config", base, "-o", out, "--max-reversals", "40", *self.TINY)
            self.assertEqual(0, result.returncode, result.stdout + result.stderr)
            with open(base) as f:
                before = f.read().rstrip("\n").splitlines()
            with open(out) as f:
                after = f.read().rstrip("\n").splitlines()
            start = next(i for i, line in enumerate(after) if "Gains tuned by hover_lock_tune" in line
                         or "Gains kept by hover_lock_tune" in line)
            end = next(i for i in range(start, len(after)) if after[i].endswith("-->"))
            self.assertIn(MODEL, " ".join(after[start:end + 1]))
            del after[start:end + 1]
            # A derivative filter the base lacks goes right after its axis's gains.
            added = [i for i, line in enumerate(after) if line.startswith("  <pid_filter_") and line not in before]
            for i in added:
                axis = re.match(r'^  <pid_filter_(x|y|z|yaw) type="real" value="[0-9.]+"/>$', after[i]).group(1)
                self.assertTrue(after[i - 1].startswith('  <pid_config_%s type="vector"' % axis), after[i - 1])
            after = [line for i, line in enumerate(after) if i not in added]
            self.assertEqual(len(before), len(after))
            for old, new in zip(before, after):
                if old != new:
                    # Mode 0 tunes x and y alone.
                    axes = "x|y" if base == MODE0 else "x|y|z|yaw"
                    self.assertRegex(old, r'^  <pid_config_(%s) type="vector" value="[^"]*"/>$' % axes)
                    self.assertEqual(old.split("value=")[0], new.split("value=")[0])
                    for number in new.split('value="')[1].rstrip('"/>').split():
                        self.assertLessEqual(len(number.lstrip("-").replace(".", "").lstrip("0")), 3, new)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
