"""The unittest base of the service's scenarios, and the content they deliver."""

import datetime
import os
import subprocess
import unittest

from . import scratch
from .peers import make_clip
from .service import Delivery, Service

PLAYLIST = """; delivered by the end-to-end test
[e2e]
name = end-to-end
priority = 1
days = all
[e2e.1]
url = video/red.mp4
timeplay = 2
[e2e.2]
url = blue.mp4
timeplay = 2
"""

SECOND_PLAYLIST = PLAYLIST.replace("blue.mp4", "green.mp4").replace("priority = 1",
                                                                        "priority = 2")

PAIRING_FILES = (".ssh/authorized_keys", "token", "address", "shared.key")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ServiceTestCase(unittest.TestCase):
    def service(self, **options):
        service = Service(name=self.id().split(".")[-1], **options)
        self.addCleanup(service.close)
        return service

    def scratch(self):
        return scratch.directory("content-", self)

    def assertRecent(self, text, slack=300):
        stamp = datetime.datetime.fromisoformat(text)
        now = datetime.datetime.now(datetime.timezone.utc)
        self.assertLess(abs((stamp - now).total_seconds()), slack,
                        f"{text} is not the current time (offset wrong?)")

    def pairFiles(self, service):
        return {name: read(service.path(name)) for name in PAIRING_FILES}

    def makeFirstDelivery(self, scratch):
        files = {
            "video/red.mp4": make_clip(os.path.join(scratch, "clips", "red.mp4"), "red"),
            "blue.mp4": make_clip(os.path.join(scratch, "clips", "blue.mp4"), "blue"),
            "playlist.ini": PLAYLIST.encode(),
        }
        return Delivery(os.path.join(scratch, "first"), files)

    def vesk_status(self, service, *options):
        return subprocess.run([os.environ["VESK_STATUS"], "--file", service.status_path(),
                               *options], capture_output=True, text=True, timeout=30)

    def deliverAndWait(self, service, delivery, expected_link, corrupt=None):
        mark = service.log_mark()
        delivery.copy_into(service.path("sync_dir"), corrupt=corrupt)
        if corrupt is None:
            service.wait_log("  синхронизация завершена", since=mark)
            service.wait_applied(delivery.transaction_file)
            self.assertEqual(os.readlink(service.path("work_dir")), expected_link)
        return mark

