"""The example Prometheus alerting rules for cvfcollect's metrics: promtool
checks them and runs alert_rules_test.yml, whose series make every alert
fire and also hold cases that must not."""

import os
import re
import shutil
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
RULES = os.path.normpath(os.path.join(HERE, "../../../packaging/examples/cvfcollect-alerts.yml"))
RULES_TEST = os.path.join(HERE, "alert_rules_test.yml")
PROMTOOL = shutil.which("promtool")


def promtool(*args):
    p = subprocess.run([PROMTOOL] + list(args), cwd=HERE, capture_output=True, text=True,
                       timeout=120)
    return p.returncode, p.stdout + p.stderr


class AlertRulesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not PROMTOOL:
            raise unittest.SkipTest("promtool is not installed (prometheus; scripts/deps.sh)")
        with open(RULES) as f:
            cls.alerts = re.findall(r"^\s*- alert: (\w+)$", f.read(), re.M)
        with open(RULES_TEST) as f:
            cls.tested = re.findall(r"^\s*alertname: (\w+)$", f.read(), re.M)

    def test_rules_are_valid(self):
        rc, out = promtool("check", "rules", RULES)
        self.assertEqual(rc, 0, out)
        self.assertIn("SUCCESS: %d rules found" % len(self.alerts), out)

    def test_every_alert_fires_on_its_series_and_only_there(self):
        self.assertEqual(sorted(self.alerts), ["CvfcollectCaptureWriteErrors", "CvfcollectDown",
                                               "CvfcollectFramesLost", "CvfcollectLineSilent"])
        self.assertEqual(set(self.tested), set(self.alerts))
        rc, out = promtool("test", "rules", RULES_TEST)
        self.assertEqual(rc, 0, out)
        self.assertIn("SUCCESS", out)


if __name__ == "__main__":
    unittest.main()
