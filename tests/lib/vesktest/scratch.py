"""The one scratch space of the tests: VESK_E2E_TMP (CTest points it into the build tree), else
the system's temporary directory. Everything a test writes goes below it."""

import os
import shutil
import tempfile


def root():
    parent = os.environ.get("VESK_E2E_TMP") or tempfile.gettempdir()
    os.makedirs(parent, exist_ok=True)
    return parent


def directory(prefix, test=None, parent=None):
    """A fresh directory below the scratch space (or below `parent`); removed when `test`, a
    unittest.TestCase, cleans up."""
    if parent:
        os.makedirs(parent, exist_ok=True)
    made = tempfile.mkdtemp(prefix=prefix, dir=parent or root())
    if test is not None:
        test.addCleanup(shutil.rmtree, made, ignore_errors=True)
    return made
