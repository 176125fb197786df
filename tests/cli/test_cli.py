"""The programs' command-line conventions, their manual pages, and the picture in docs/."""
import glob
import os
import subprocess
import tempfile
import unittest

BIN = os.environ["VESK_BIN"]
SOURCE = os.environ["VESK_SOURCE_DIR"]
VERSION = os.environ["VESK_VERSION"]
PROGRAMS = ["vesk-schedule", "vesk-display", "vesk-service"]


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
                shown = run([path, "--no-such-option"])
                self.assertEqual((shown.returncode, shown.stdout), (2, ""))
                self.assertRegex(shown.stderr, rf"^{program}: [^\n]*no-such-option[^\n]*\n$")

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


if __name__ == "__main__":
    unittest.main()
