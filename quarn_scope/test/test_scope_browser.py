"""The scope's page in headless chromium against the simulated hold: a private master, hover_lock publishing its
state, vehicle_sim and hover_lock_scope, all started by roslaunch as an operator starts them.

    test_scope_browser.py SOURCE_DIR DEVEL_PREFIX OUT_DIR

OUT_DIR receives the page's screenshot and the processes' log.
"""
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE, DEVEL, OUT = (os.path.abspath(a) for a in sys.argv[1:4]) if len(sys.argv) > 3 else (None, None, None)
TIMEOUT = 60.0  # bound of every wait: the machine may be loaded
NEW_KP = 1.5    # the x gain the test applies; the example's is 2.24


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, timeout=TIMEOUT, step=0.05):
    """Polls condition until it returns something true or timeout (s) passes; returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


class StateLog:
    """Every ~state message with the time it arrived here."""

    def __init__(self, topic, message_type):
        import rospy
        self.lock = threading.Lock()
        self.messages = []
        self.subscriber = rospy.Subscriber(topic, message_type, self.add, queue_size=100)

    def add(self, message):
        with self.lock:
            self.messages.append((time.monotonic(), message))

    def since(self, moment):
        with self.lock:
            return [m for t, m in self.messages if t >= moment]


def proportional_gain_fits(message, kp):
    """Whether the x controller's proportional term is kp times its error (error = -measure)."""
    return abs(message.proportional[0] + kp * message.measure[0]) <= 1e-9 * max(1.0, abs(message.measure[0]))


class ScopeInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(OUT, exist_ok=True)
        port = free_port()
        env = dict(os.environ, ROS_MASTER_URI="http://127.0.0.1:%d" % port, ROS_HOSTNAME="127.0.0.1",
                   ROS_PACKAGE_PATH=SOURCE, CMAKE_PREFIX_PATH=DEVEL + ":" + os.environ.get("CMAKE_PREFIX_PATH", ""),
                   ROSCONSOLE_STDOUT_LINE_BUFFERED="1")
        os.environ.update({k: env[k] for k in ("ROS_MASTER_URI", "ROS_HOSTNAME")})
        cls.log_path = os.path.join(OUT, "launch.log")
        cls.log = open(cls.log_path, "w")
        # A process group of its own: stopped whole, by its id, at the end.
        cls.launch = subprocess.Popen(["roslaunch", "-p", str(port), "quarn_sim", "hover_lock_sim.launch",
                                       "scope:=true", "scope_port:=0"],
                                      env=env, stdout=cls.log, stderr=subprocess.STDOUT, start_new_session=True)
        found = wait_for(lambda: re.search(r"open (http://127\.0\.0\.1:(\d+)/)\?token=(\w+)", cls.output()))
        if not found:
            cls.tearDownClass()
            raise AssertionError("the scope printed no URL:\n" + cls.output())
        cls.base, cls.port, cls.token = found.group(1), int(found.group(2)), found.group(3)
        cls.url = found.group(0)[len("open "):]

        sys.path.insert(0, os.path.join(DEVEL, "lib", "python3", "dist-packages"))
        import rospy
        from quarn_common.msg import ControllerState
        rospy.init_node("scope_browser_test", anonymous=True, disable_signals=True)
        cls.states = StateLog("/hover_lock/state", ControllerState)

        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        cls.profile = tempfile.TemporaryDirectory()
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--window-size=1400,1100", "--user-data-dir=" + cls.profile.name):
            options.add_argument(arg)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_script_timeout(TIMEOUT)
        cls.driver.get(cls.url)

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "driver", None):
            cls.driver.quit()
        if getattr(cls, "profile", None):
            cls.profile.cleanup()
        try:
            import rospy
            rospy.signal_shutdown("test over")
        except ImportError:
            pass
        cls.launch.send_signal(signal.SIGINT)
        try:
            cls.launch.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(cls.launch.pid, signal.SIGKILL)
            cls.launch.wait()
        cls.log.close()

    @classmethod
    def output(cls):
        with open(cls.log_path) as f:
            return f.read()

    def page(self, expression):
        return self.driver.execute_script("return " + expression)

    def post(self, path, body, headers):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        connection.request("POST", path, body=body, headers=headers)
        response = connection.getresponse()
        answer = response.status, response.read().decode()
        connection.close()
        return answer

    def x_gain_now(self):
        """The proportional gain the x controller runs on, from the next state with a measure off zero."""
        start = time.monotonic()
        message = wait_for(lambda: next((m for m in self.states.since(start) if abs(m.measure[0]) > 1e-6), None))
        self.assertIsNotNone(message, "no ~state message:\n" + self.output())
        return -message.proportional[0] / message.measure[0]

    def test_1_page_plots_the_moving_vehicle_and_shows_diagnostics_ok(self):
        points = "scope.charts[0].data.datasets[0].data.length"
        self.assertTrue(wait_for(lambda: self.page(points) > 10), self.output())
        before = self.page(points)
        self.assertTrue(wait_for(lambda: self.page(points) > before + 10), "the charts gained no points")
        badge = wait_for(lambda: self.page("document.getElementById('diagnostics').textContent").startswith("OK")
                         and self.page("document.getElementById('diagnostics').textContent"))
        self.assertTrue(badge, self.page("document.getElementById('diagnostics').textContent"))
        self.assertEqual("2.24 0.302 0.6", self.page("document.getElementById('now-pid_config_x').textContent"))
        self.driver.save_screenshot(os.path.join(OUT, "hover_lock_scope.png"))

    def test_2_apply_without_token_or_from_another_site_is_refused_and_changes_nothing(self):
        body = json.dumps({"pid_config_x": [NEW_KP, 0.3, 0.5]})
        status = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch('apply', {method: 'POST', body: arguments[0], headers: {'Content-Type': 'application/json'}})"
            ".then((r) => done(r.status), (e) => done(String(e)));", body)
        self.assertEqual(403, status)
        own = "127.0.0.1:%d" % self.port
        for headers in ({"Origin": "http://evil.example", "Host": own},
                        {"Host": "evil.example:%d" % self.port},
                        {"X-Scope-Token": self.token[:-1] + ("0" if self.token[-1] != "0" else "1"), "Host": own}):
            status, answer = self.post("/apply", body, dict(headers, **{"Content-Type": "application/json"}))
            self.assertEqual(403, status, (headers, answer))
            self.assertFalse(json.loads(answer)["success"])
        status, answer = self.post("/apply", json.dumps({"pid_config_x": [1, 2, "nan"]}),
                                   {"X-Scope-Token": self.token, "Host": own})
        self.assertEqual(400, status, answer)
        self.assertIn("pid_config_x needs 3 finite numbers", answer)
        self.assertAlmostEqual(2.24, self.x_gain_now(), places=9)

    def test_3_apply_with_token_changes_the_running_gain_within_a_second(self):
        import rosservice
        if "/hover_lock/reload" not in rosservice.get_service_list():
            self.skipTest("this hover_lock has no ~reload service")
        field = self.driver.find_element("id", "pid_config_x-0")
        field.clear()
        field.send_keys(str(NEW_KP))
        clicked = time.monotonic()
        self.driver.find_element("id", "apply").click()
        changed = wait_for(lambda: any(abs(m.measure[0]) > 1e-6 and proportional_gain_fits(m, NEW_KP)
                                       for m in self.states.since(clicked)), timeout=5.0)
        delay = time.monotonic() - clicked
        answer = wait_for(lambda: self.page("document.getElementById('answer').textContent"))
        self.assertTrue(changed, "the x gain did not change; the page says: %s\n%s" % (answer, self.output()))
        self.assertLess(delay, 1.0)
        self.assertTrue(answer.startswith("applied: "), answer)
        self.assertIn("pid_config_x", answer)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        connection.request("GET", "/config.xml")
        config = connection.getresponse().read().decode()
        connection.close()
        self.assertIn('<pid_config_x type="vector" value="1.5 0.302 0.6"/>', config)
        self.assertIn("<!-- Gains per axis", config)  # the operator's comments stay
        self.driver.save_screenshot(os.path.join(OUT, "hover_lock_scope_applied.png"))
        print("apply to new gain in ~state: %.3f s" % delay)

    def test_4_the_scope_runs_ten_steps_of_niceness_below_the_node(self):
        import rosgraph
        import xmlrpc.client

        def niceness(node):
            uri = rosgraph.Master("/scope_browser_test").lookupNode(node)
            _, _, pid = xmlrpc.client.ServerProxy(uri).getPid("/scope_browser_test")
            with open("/proc/%d/stat" % pid) as f:
                return int(f.read().rsplit(")", 1)[1].split()[16])

        self.assertEqual(min(19, niceness("/hover_lock") + 10), niceness("/hover_lock_scope"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
