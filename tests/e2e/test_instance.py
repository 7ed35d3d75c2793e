"""A second launcher started while one runs ends at once with status 0 and touches nothing."""

import unittest

import harness
from harness import E2ETestCase, LIST_NAME

SECOND_RUN_TIMEOUT_S = 10  # a second instance that went on would hang on the stalled list


class SecondInstanceTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        harness.write_tree(cls.scratch / "src", {harness.GAME_EXE: harness.GAME_STUB, "a.bin": b"a" * 100})
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")

    def test_second_instance_exits_at_once_and_touches_nothing(self):
        # The first launcher is held up on the file list, which the server never finishes.
        server = self.start_fault_server(self.root, {f"/windows/{LIST_NAME}.zs": {"stall": 120}})
        first = harness.LauncherRun(self.stage())
        try:
            first.wait_for(lambda: server.faults_applied(LIST_NAME) == 1, 10, "the list request")

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
        finally:
            first.kill()
        self.assert_fatal(first, "Cannot download file list")


if __name__ == "__main__":
    unittest.main()
