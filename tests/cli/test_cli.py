"""The programs' command-line conventions, their manual pages, and the picture in docs/."""
import datetime
import glob
import json
import os
import subprocess
import tempfile
import unittest

BIN = os.environ["VESK_BIN"]
SOURCE = os.environ["VESK_SOURCE_DIR"]
VERSION = os.environ["VESK_VERSION"]
PROGRAMS = ["vesk-schedule", "vesk-display", "vesk-service", "vesk-status", "vesk-sshgate",
            "vesk-manage", "vesk-plays"]


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, **kwargs)


class ConventionsTest(unittest.TestCase):
    def test_help_version_and_unknown_options(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                path = os.path.join(BIN, program)
                shown = run([path, "--help"])
                self.assertEqual((shown.returncode, shown.stderr), (0, ""))
                self.assertIn("--version", shown.stdout)
                shown = run([path, "--version"])
                self.assertEqual((shown.returncode, shown.stdout, shown.stderr),
                                 (0, f"{program} {VERSION}\n", ""))
                if program == "vesk-service":
                    # Runs whatever else it is given (a launcher's own arguments): the warning
                    # is checked against a service in a namespace of its own (e2e.host).
                    continue
                shown = run([path, "--no-such-option"])
                self.assertEqual((shown.returncode, shown.stdout), (2, ""))
                self.assertRegex(shown.stderr, rf"^{program}: [^\n]*no-such-option[^\n]*\n$")

    def test_status_of_a_service_that_runs_stopped_or_is_gone(self):
        now = datetime.datetime.now().astimezone()
        fresh = (now - datetime.timedelta(seconds=20)).isoformat(timespec="seconds")
        stale = (now - datetime.timedelta(minutes=10)).isoformat(timespec="seconds")
        # What is written, the exit status, and a line that vesk-status must print.
        cases = [
            ({"updated": fresh, "started": fresh, "pid": 7, "stopped": None}, 0,
             "running since"),
            ({"updated": stale, "stopped": None}, 3, "NOT RUNNING? the status is stale"),
            ({"updated": fresh, "stopped": fresh}, 3, "STOPPED at"),
            # Members of the wrong kind read as unknown, never as a crash.
            ({"updated": fresh, "pairing": "x", "sync": [1], "playing": {"now": 5},
              "stream": None, "api": {"answered": {"200": "many"}}}, 0, "Paired:     no"),
            # Texts can carry names from a delivery: control characters reach the terminal
            # escaped; a count no JSON number holds exactly is said to be out of range.
            ({"updated": fresh, "sync": {"outcome": "refused", "durationMs": 1e300,
                                         "reason": "line 2 lists \x1b[2Ja\u202e\\b again"}},
             0, "refused: line 2 lists \\x1b[2Ja\\u{202e}\\\\b again ((out of range) ms)"),
            ({"updated": fresh, "sync": {"outcome": "refused", "reason": "line 1 names no file",
                                         "refusedSince": fresh}}, 0,
             f"refused: line 1 names no file, the same TF since {fresh[:10]} {fresh[11:19]}"),
            ({"updated": fresh, "stream": {"datagrams": 2 ** 63, "bytes": 1.5, "errors": -3}},
             0, ": (out of range) datagrams ((out of range)), -3 errors"),
            ("[1, 2]", 1, ""),
            ("{not json", 1, ""),
        ]
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "status.json")
            for content, status, line in cases:
                with self.subTest(content=content):
                    with open(path, "w") as f:
                        f.write(content if isinstance(content, str) else json.dumps(content))
                    shown = run([os.path.join(BIN, "vesk-status"), "--file", path])
                    self.assertEqual(shown.returncode, status, shown.stderr)
                    self.assertIn(line, shown.stdout)
                    self.assertNotIn("\x1b", shown.stdout)
                    self.assertEqual(shown.stderr == "", status != 1)
            shown = run([os.path.join(BIN, "vesk-status"), "--file", path + ".missing"])
            self.assertEqual((shown.returncode, shown.stdout), (1, ""))

    def test_manual_pages_render_without_warnings(self):
        pages = sorted(glob.glob(os.path.join(SOURCE, "docs", "man", "*.1")))
        self.assertTrue({f"{p}.1" for p in PROGRAMS} <= {os.path.basename(p) for p in pages})
        for page in pages:
            with self.subTest(page=os.path.basename(page)):
                shown = run(["man", "-l", page], env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertIn("SYNOPSIS", shown.stdout)
                shown = run(["groff", "-man", "-Tutf8", "-ww", "-z", page])
                self.assertEqual((shown.returncode, shown.stderr), (0, ""))

    def test_the_sample_week_in_docs_is_what_the_tool_draws(self):
        with tempfile.TemporaryDirectory() as scratch:
            drawn = os.path.join(scratch, "sample-week.svg")
            shown = run([os.path.join(BIN, "vesk-schedule"), "docs/sample-week.ini",
                         "--from", "2027-03-22T00:00", "--svg", drawn],
                        cwd=SOURCE, env=dict(os.environ, TZ="Europe/Berlin"))
            self.assertEqual(shown.returncode, 0, shown.stderr)
            with open(drawn, "rb") as new, open(os.path.join(SOURCE, "docs", "sample-week.svg"),
                                                "rb") as committed:
                self.assertTrue(new.read() == committed.read(),
                                "docs/sample-week.svg is stale: run the command in README.md")


# What each program must not load, directly or through another library: the service's Core, HTTP
# server and stream engine only where they run, ffmpeg only where media is handled, and for the
# gate (the first program an attacker's command line reaches) nothing beyond the C library and
# its own file library.
MUST_NOT_LOAD = {
    "vesk-status": ["libvesk_core", "libvesk_httpserver", "libvesk_stream", "libvesk_playlist",
                    "libavutil", "libavcodec", "libavformat", "libQt6Network"],
    # The HTTP server serves listen's metrics port: the tree's one reader of requests.
    "vesk-manage": ["libvesk_core", "libvesk_stream", "libvesk_transport", "libavutil",
                    "libavcodec", "libavformat"],
    "vesk-sshgate": ["libQt6", "libcrypto", "libav", "libxxhash", "libvesk_utils",
                     "libvesk_protocol", "libvesk_log"],
    "vesk-display": ["libvesk_core", "libvesk_httpserver", "libvesk_stream", "libvesk_playlist"],
    "vesk-schedule": ["libvesk_core", "libvesk_httpserver", "libvesk_stream", "libav"],
}


class LinksTest(unittest.TestCase):
    def test_programs_load_only_what_they_call(self):
        for program, forbidden in MUST_NOT_LOAD.items():
            with self.subTest(program=program):
                path = os.path.join(BIN, program)
                needed = run(["readelf", "-d", path])
                self.assertEqual(needed.returncode, 0, needed.stderr)
                loaded = run(["ldd", path])
                self.assertEqual(loaded.returncode, 0, loaded.stderr)
                # Every library the loader resolves, by file name; none is "not found".
                names = [line.split()[0] for line in loaded.stdout.splitlines() if line.strip()]
                self.assertNotIn("not found", loaded.stdout)
                self.assertTrue(any(name.startswith("libc.so") for name in names), names)
                for name in forbidden:
                    self.assertFalse([n for n in names if n.startswith(name)],
                                     f"{program} loads {name}: {names}")
                    self.assertNotIn(f"[{name}", needed.stdout)


if __name__ == "__main__":
    unittest.main()
