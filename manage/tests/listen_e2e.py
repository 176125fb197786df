"""vesk-manage listen against real registers: three services, each in a mount namespace of its
own, paired for real and beating to one listener. One is stopped: the listener says it dark
once, runs its hook once, and says it back once after a restart. The metrics pass promtool, the
page names every register. Everything waits on what the listener states (its metrics, its page,
the hooks' file), never on its log.

The service beats once at its start and then every minute, so the listener is told to call a
register dark after 75 s without a beat: a running register is never that late, a stopped one is.
"""

import os
import re
import stat
import subprocess
import unittest
import urllib.error
import urllib.request

from vesktest import scratch
from vesktest.manage import MANAGE
from vesktest.peers import free_udp_port
from vesktest.service import REQUEST_TIMEOUT, SANITIZER_REPORT, Service, free_tcp_port, wait_until

DARK_AFTER = 75
REGISTERS = ("shop-1", "shop-2", "shop-3")
HOOK = """#!/bin/sh
printf '%s %s %s %s\\n' "$VESK_EVENT" "$VESK_REGISTER" "$VESK_ADDRESS" "$VESK_LAST_BEAT" >> "$0.told"
"""


class ListenTest(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(MANAGE):
            self.skipTest("VESK_MANAGE must name the built program")
        self.scratch = scratch.directory("listen-", self)
        self.environment = {key: value for key, value in os.environ.items()
                            if not key.startswith("SSH_")}
        self.environment.update(HOME=self.scratch,
                                XDG_STATE_HOME=os.path.join(self.scratch, "state"))
        self.key = os.path.join(self.scratch, "key")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.key],
                       check=True)
        self.heartbeat_port = free_udp_port()
        self.metrics_port = free_tcp_port()

    def manage(self, *arguments):
        result = subprocess.run([MANAGE, *arguments], capture_output=True, text=True,
                                env=self.environment, timeout=REQUEST_TIMEOUT * 4, check=False)
        self.assertNotRegex(result.stderr, SANITIZER_REPORT)
        return result

    def scrape(self):
        url = f"http://127.0.0.1:{self.metrics_port}/metrics"
        with urllib.request.urlopen(url, timeout=REQUEST_TIMEOUT) as answer:
            return answer.read().decode()

    def up(self, name):
        """1 or 0 as the listener's metrics say, None before it answers."""
        try:
            text = self.scrape()
        except OSError:
            return None
        found = re.search(rf'^vesk_manage_register_up{{register="{re.escape(name)}"}} (\d)$',
                          text, re.M)
        return int(found[1]) if found else None

    def told(self, hook):
        try:
            with open(hook + ".told", encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def test_a_stopped_register_is_said_dark_once_and_back_once(self):
        services = {}
        for name in REGISTERS:
            service = Service(sync_repeat=2, name=name)
            self.addCleanup(service.close)
            service.start()
            paired = self.manage("pair", f"127.0.0.1:{service.port}", "--ssh-key",
                                 self.key + ".pub", "--listen",
                                 f"127.0.0.1:{self.heartbeat_port}", "--name", name)
            self.assertEqual(paired.returncode, 0, paired.stderr)
            services[name] = service
        hooks = {}
        for event in ("dark", "back"):
            hooks[event] = os.path.join(self.scratch, f"on-{event}")
            with open(hooks[event], "w", encoding="ascii") as f:
                f.write(HOOK)
            os.chmod(hooks[event], stat.S_IRWXU)
        page = os.path.join(self.scratch, "page", "fleet.html")
        os.makedirs(os.path.dirname(page))
        listener = subprocess.Popen(
            [MANAGE, "listen", "--quiet", "--port", str(self.heartbeat_port),
             "--dark-after", f"{DARK_AFTER}s", "--on-dark", hooks["dark"],
             "--on-back", hooks["back"], "--metrics", str(self.metrics_port),
             "--page", page, "--page-every", "1s"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=self.environment)

        def end():
            if listener.poll() is None:
                listener.kill()
            listener.communicate()
        self.addCleanup(end)
        wait_until(lambda: self.up("shop-1") is not None, REQUEST_TIMEOUT, "the metrics")

        # A register beats at its start: a restart brings every one's first beat at once.
        for service in services.values():
            service.restart()
        for name in REGISTERS:
            wait_until(lambda: self.up(name) == 1, REQUEST_TIMEOUT, f"{name} alive")
        services["shop-2"].stop()
        wait_until(lambda: self.up("shop-2") == 0, DARK_AFTER + REQUEST_TIMEOUT, "shop-2 dark")
        self.assertEqual([self.up(name) for name in REGISTERS], [1, 0, 1])
        dark = wait_until(lambda: self.told(hooks["dark"]), REQUEST_TIMEOUT, "the dark hook")
        self.assertRegex(dark[0], r"^dark shop-2 127\.0\.0\.1:\d+ \d{4}-\d\d-\d\dT\S+[+-]\d\d:\d\d$")
        self.assertEqual(self.told(hooks["back"]), [])

        services["shop-2"].start()
        wait_until(lambda: self.up("shop-2") == 1, REQUEST_TIMEOUT, "shop-2 back")
        back = wait_until(lambda: self.told(hooks["back"]), REQUEST_TIMEOUT, "the back hook")
        self.assertRegex(back[0], r"^back shop-2 127\.0\.0\.1:\d+ \S+$")

        checked = subprocess.run(["promtool", "check", "metrics"], input=self.scrape(),
                                 capture_output=True, text=True, check=False)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(f"http://127.0.0.1:{self.metrics_port}/other",
                                   timeout=REQUEST_TIMEOUT)
        self.assertEqual(refused.exception.code, 404)

        # The page, rewritten every second, shows all three alive again.
        def page_rows():
            with open(page, encoding="utf-8") as f:
                return re.findall(r'<tr class="(\w+)"><td>([^<]*)</td>', f.read())
        wait_until(lambda: page_rows() == [("alive", name) for name in REGISTERS],
                   REQUEST_TIMEOUT, "the page with every register alive", page_rows)
        self.assertEqual(os.listdir(os.path.dirname(page)), ["fleet.html"])

        listener.terminate()
        out, err = listener.communicate(timeout=REQUEST_TIMEOUT)
        self.assertEqual(listener.returncode, 0, err)
        self.assertNotRegex(err, SANITIZER_REPORT)
        self.assertEqual(out, "")
        # Said once each, in the listener's words and by the hooks.
        self.assertEqual(len(self.told(hooks["dark"])), 1)
        self.assertEqual(len(self.told(hooks["back"])), 1)
        self.assertEqual(len(re.findall(r"shop-2 is dark", err)), 1, err)
        self.assertEqual(len(re.findall(r"shop-2 is back", err)), 1, err)


if __name__ == "__main__":
    unittest.main()
