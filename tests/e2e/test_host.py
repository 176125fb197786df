"""The real vesk-service as a guest on the register: a log file it cannot write, a log on standard
error, a log file that someone removes or renames, the size limit of the log files, and a launcher
that passes arguments of its own. One CTest test per class (see CMakeLists.txt)."""

import glob
import os
import re
import subprocess
import unittest

from vesktest import scratch
from vesktest.service import Service, curl, enter_private_mount_namespace, wait_until

COMPLAINT = "логгер: "
WHERE_LINES_GO = "; строки журнала пишутся в стандартный поток ошибок, пока файл недоступен"
NOT_FOUND = r"requested path GET /request-{} from connection \d+ is not found"
START_LINE = ": listening on 127.0.0.1:"


def mount(*arguments):
    subprocess.run(["mount", *arguments], check=True)


def complaints(service):
    return [line for line in service.stderr().splitlines() if line.startswith(COMPLAINT)]


class HostTestCase(unittest.TestCase):
    def service(self, log_path=None, **options):
        service = Service(name=self.id().split(".")[-1], **options)
        self.addCleanup(service.close)
        if log_path:
            service.log_path = log_path
            service.write_config()
        return service

    def requests(self, service, numbers):
        """GET requests for paths no route wants: each costs the service one log line."""
        for n in numbers:
            self.assertEqual(curl(service.port, f"/request-{n}", method="GET").status, 404)
        for n in numbers:
            service.wait_log(NOT_FOUND.format(n), logger="vesk.server", pattern=True)


class HostLogTest(HostTestCase):
    """Where the log cannot be written, the service says so once and logs to standard error."""

    def setUp(self):
        enter_private_mount_namespace()

    def mounted(self, *options, read_only=False):
        """A directory with a file system of its own mounted on it: made before the service, so
        that the service stops before it is unmounted."""
        directory = scratch.directory("mounted-")
        self.addCleanup(os.rmdir, directory)
        if read_only:
            mount("--bind", directory, directory)
        else:
            mount(*options, directory)
        self.addCleanup(subprocess.run, ["umount", "-l", directory], check=False)
        if read_only:
            mount("-o", "remount,bind,ro", directory)
        return directory

    def expectOneComplaint(self, service, reason):
        said = complaints(service)
        self.assertEqual(len(said), 1, service.diagnostics())
        self.assertRegex(said[0], "^" + COMPLAINT + reason + re.escape(WHERE_LINES_GO) + "$")

    def expectStartLineOnce(self, service):
        """The start line, logged on standard error with the rest of the log, is not also said
        there a second time."""
        wait_until(lambda: START_LINE in service.stderr(), 30, "the start line",
                   service.diagnostics)
        self.assertEqual(service.stderr().count(START_LINE), 1, service.diagnostics())

    def test_unwritable_log_directories(self):
        cases = [
            # The default path on a register whose log directory is not there, under a system
            # that lets nobody make it.
            ("missing", os.path.join("current", "morlen-vesk.log"),
             lambda path: re.escape(f"Ошибка создания каталога {os.path.dirname(path)}")),
            ("read-only", "morlen-vesk.log",
             lambda path: re.escape(f"Невозможно открыть файл {path}. ") + ".+"),
        ]
        for name, below, reason in cases:
            with self.subTest(name):
                path = os.path.join(self.mounted(read_only=True), below)
                service = self.service(log_path=path)
                service.log_on_stderr = True
                service.start()
                self.requests(service, range(20))
                self.expectOneComplaint(service, reason(path))
                self.expectStartLineOnce(service)
                self.assertFalse(os.path.exists(path))
                if name == "missing":
                    # What the journal shows of such a start.
                    print("\n".join(service.stderr().splitlines()[:6]))

    def test_log_is_standard_error(self):
        """Logger/path names standard error's own file: the log is written there, said once, and
        never rotated, however small the size limit."""
        service = self.service()
        link = os.path.join(os.path.dirname(service.log_path), "stderr")
        os.makedirs(os.path.dirname(link))
        os.symlink("/proc/self/fd/2", link)
        service.log_path = link
        service.write_config()
        config = os.path.join(service.bin_dir, "config.ini")
        with open(config, encoding="utf-8") as f:
            text = f.read()
        with open(config, "w", encoding="utf-8") as f:
            f.write(text.replace("[Logger]\n", "[Logger]\nmaxFileSize=1\n"))
        service.log_on_stderr = True
        service.start()
        self.requests(service, range(20))
        self.expectStartLineOnce(service)
        self.assertEqual(complaints(service), [])
        self.assertEqual(os.listdir(os.path.dirname(link)), ["stderr"])
        self.assertEqual(os.readlink(link), "/proc/self/fd/2")

    def test_full_disk_and_back(self):
        directory = self.mounted("-t", "tmpfs", "-o", "size=64k", "tmpfs")
        service = self.service(log_path=os.path.join(directory, "morlen-vesk.log"))
        filler = os.path.join(directory, "filler")
        descriptor = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o644)
        for chunk in (4096, 1):
            try:
                while os.write(descriptor, bytes(chunk)):
                    pass
            except OSError:
                pass
        os.close(descriptor)
        service.log_on_stderr = True
        service.start()
        self.requests(service, range(20))
        self.expectOneComplaint(service, re.escape(f"Невозможно записать в файл {service.log_path}."
                                                   " No space left on device"))
        # Nothing half-written is left in the file.
        with open(service.log_path, "rb") as f:
            self.assertEqual(f.read(), b"")

        # Room again: the lines go back to the file (tried once a second), said once.
        os.remove(filler)
        numbers = iter(range(20, 10_000))

        def back_in_file():
            n = next(numbers)
            curl(service.port, f"/request-{n}", method="GET")
            with open(service.log_path, "rb") as f:
                return re.search(NOT_FOUND.format(n).encode(), f.read())

        wait_until(back_in_file, 30, "log lines in the file again", service.diagnostics)
        said = complaints(service)
        self.assertEqual(said[1:], [COMPLAINT + f"Журнал снова пишется в файл {service.log_path}"])
        service.log_on_stderr = False


class LogFileTest(HostTestCase):
    """The log file's size limit holds on every line; a file removed or moved away, or its
    directory, is made again with the next line."""

    def test_limit_holds_and_a_file_gone_comes_back(self):
        service = self.service()
        config = os.path.join(service.bin_dir, "config.ini")
        with open(config, encoding="utf-8") as f:
            text = f.read()
        with open(config, "w", encoding="utf-8") as f:
            f.write(text.replace("[Logger]\n", "[Logger]\nmaxFileSize=4\nmaxFiles=3\n"))
        service.start()
        # Lines of nearly a kilobyte each, a peer's path echoed.
        for n in range(40):
            curl(service.port, f"/request-{n}-" + "p" * 900, method="GET")
        directory = os.path.dirname(service.log_path)
        wait_until(lambda: os.path.exists(service.log_path + ".2"), 30, "two rotations",
                   service.diagnostics)
        names = sorted(os.listdir(directory))
        self.assertEqual(names, ["vesk.log", "vesk.log.1", "vesk.log.2"])
        for name in names:
            self.assertLessEqual(os.path.getsize(os.path.join(directory, name)), 4000, name)

        # The file removed or moved away (or its directory) right before a request: the request's
        # line is in a new file at the path, none of it in the old one (read through a descriptor
        # kept open).
        for change, apply in (
                ("removal", os.remove),
                ("rename", lambda path: os.rename(path, path + ".moved")),
                ("directory-rename", lambda path: os.rename(directory, directory + ".moved"))):
            with self.subTest(change), open(service.log_path, "rb") as old:
                apply(service.log_path)
                marker = f"/request-after-{change}"
                self.assertEqual(curl(service.port, marker, method="GET").status, 404)

                # The burst above makes the server sum up its like lines, so the request may come
                # back as "the last" of a summary rather than as a line of its own.
                # Rotated on by now, perhaps: the numbered files are new files at the path too.
                def in_new_file():
                    for path in [service.log_path] + glob.glob(service.log_path + ".[0-9]*"):
                        try:
                            with open(path, "rb") as f:
                                if marker.encode() in f.read():
                                    return True
                        except FileNotFoundError:
                            pass  # moved on by a rotation meanwhile
                    return False

                wait_until(in_new_file, 30, "the request's line in a new log file",
                           service.diagnostics)
                self.assertNotIn(marker.encode(), old.read())


class LauncherArgumentsTest(HostTestCase):
    """A launcher's own arguments are named once on standard error; the service runs."""

    def test_unknown_arguments(self):
        service = self.service()
        service.arguments = ["--launcher-option", "value\nforged line", "x" * 500]
        service.start()
        self.requests(service, [1])
        warnings = [line for line in service.stderr().splitlines() if "ignoring" in line]
        self.assertEqual(warnings, [
            "vesk-service: ignoring arguments that it does not know: '--launcher-option', "
            "'value\\nforged line', '" + "x" * 80 + "…[cut: 500 characters]'; "
            "see vesk-service --help"],
            service.diagnostics())
        self.assertNotIn("\nforged line", service.stderr())


if __name__ == "__main__":
    unittest.main()
