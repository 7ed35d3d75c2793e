"""A second launcher started by the same user while one runs ends at once with status 0 and
touches nothing; one started by another user runs: each user has a lock of their own."""

import os
import shutil
import unittest
from unittest import mock

import harness
from harness import E2ETestCase, LIST_NAME

SECOND_RUN_TIMEOUT_S = 10  # a second instance that went on would hang on the stalled list
OTHER_USER = 65534  # nobody
OTHER_USER_PREFIX = ["setpriv", f"--reuid={OTHER_USER}", f"--regid={OTHER_USER}", "--clear-groups"]


class SecondInstanceTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        harness.write_tree(cls.scratch / "src", {harness.GAME_EXE: harness.GAME_STUB, "a.bin": b"a" * 100})
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")

    def start_first(self):
        """The fault server and a first launcher holding the lock, held up on the file list,
        which the server never finishes."""
        server = self.start_fault_server(self.root, {f"/windows/{LIST_NAME}.zs": {"stall": 120}})
        first = harness.LauncherRun(self.stage())
        self.addCleanup(first.kill)
        first.wait_for(lambda: server.faults_applied(LIST_NAME) == 1, 10, "the list request")
        return server, first

    def test_second_instance_of_the_same_user_exits_at_once_and_touches_nothing(self):
        server, first = self.start_first()
        canary = self.stage({"a.bin": b"stale, would be fetched", "unlisted.txt": b"would be deleted"})
        before = harness.snapshot(canary)
        second = harness.run_launcher(canary, timeout=SECOND_RUN_TIMEOUT_S)
        self.assert_status(second, 0)
        self.assertFalse(any(line.startswith("worker thread begin") for line in second.stdout_lines),
                         "the second instance started working\n" + second.describe())
        self.assertEqual(harness.snapshot(canary), before, "the second instance touched its tree")
        self.assertEqual(server.faults_applied(LIST_NAME), 1, "the second instance asked for the list")
        self.assertIsNone(first.process.poll(), "the first instance ended\n" + first.describe())

        first.terminate()
        first.wait(timeout=15)
        self.assert_fatal(first, "Cannot download file list")

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv to run as another user")
    def test_another_users_launcher_is_not_refused(self):
        server, first = self.start_first()
        # A launcher directory the other user owns, below directories it may pass through.
        self.scratch.chmod(0o711)
        directory = self.stage()
        for path in [directory, *directory.rglob("*")]:
            shutil.chown(path, OTHER_USER, OTHER_USER)
        with mock.patch.object(harness, "LAUNCHER_PREFIX", OTHER_USER_PREFIX):
            other = harness.LauncherRun(directory)
        self.addCleanup(other.kill)
        other.wait_for(lambda: server.faults_applied(LIST_NAME) == 2, SECOND_RUN_TIMEOUT_S,
                       "the other user's list request")
        self.assertIsNone(first.process.poll(), "the first instance ended\n" + first.describe())


if __name__ == "__main__":
    unittest.main()
