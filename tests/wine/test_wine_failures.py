"""The Windows launcher under Wine when the update cannot go on, and when it must not start: a
file the server lacks (404) or cut short, shown in a box; unsafe names in the file list, an
authority bundle without the server's authority, and a second instance."""

import random
import shutil
import subprocess
import time
import unittest

from wine_harness import WineTestCase
import wine_harness
import harness
import test_names
import test_window
from harness import LIST_NAME, url_for

MISSING = "sub dir/missing one.bin"
SLOW_FILE = "big/slow file.pak"
SLOW_RATE = "100k"  # bytes per second per connection: the slow file takes about 6 s
SLOW_FILE_SIZE = 600 * 1024
SECOND_RUN_TIMEOUT_S = 20
HOLD_S = 120  # the helper's hold on the lock outlasts the test; the test ends it
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"  # Mozilla's authorities, as in a production package

# Names Windows would misread: a way out of game/, its own separator, a drive, a device.
UNSAFE = ("parent directory", "backslash", "drive colon", "device name")


class WineFailureTest(WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = {harness.GAME_EXE: harness.GAME_STUB, "a.txt": b"present\n",
                      MISSING: b"listed, but lost\n" * 10}
        harness.write_tree(cls.scratch / "src", cls.source)
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")
        harness.published_path(cls.root, MISSING).unlink()

    def serve(self, root, rate=None):
        """nginx serving ROOT for this test only."""
        server = harness.DevServer(root, self.scratch / "server", rate=rate).start()
        self.addCleanup(server.stop)
        return server

    def test_404_is_fatal_with_status_1_and_the_report_on_stderr(self):
        self.serve(self.root)
        directory = self.stage()
        run = harness.run_launcher(directory)
        self.assert_fatal(run, "Fatal error in ", f"error 404 downloading\n{url_for(MISSING)}")
        self.assertEqual(run.retries(), [], run.describe())
        self.assertFalse((directory / "game" / MISSING).exists(), run.describe())

    def test_fatal_reports_wait_in_a_message_box_until_dismissed(self):
        # A cut-short stream is reported after the list was fetched again, from another thread
        # than the transfers' own 404.
        harness.write_tree(self.scratch / "cut src", {harness.GAME_EXE: harness.GAME_STUB, "a.txt": b"present\n"})
        cut = harness.publish(self.scratch / "cut src", self.scratch / "cut root")
        zs = harness.published_path(cut, "a.txt")
        whole = zs.read_bytes()
        zs.unlink()
        zs.write_bytes(whole[:-4])
        for root, report in [(self.root, f"error 404 downloading\n{url_for(MISSING)}"),
                             (cut, "game/a.txt.zs ends inside its compressed data")]:
            with self.subTest(report.split()[0]):
                server = self.serve(root)
                directory = self.stage()
                with test_window.Xvfb(self.scratch / "xvfb-box.log") as x:
                    run = wine_harness.run_with_display(directory, x.env())
                    try:
                        box = wine_harness.wait_for_window(run, x.env(), "Fatal error")
                        time.sleep(1)
                        self.assertIsNone(run.process.poll(), f"the launcher did not wait\n{run.describe()}")
                        self.assertIn(report, run.stderr)
                        wine_harness.press_keys(x.env(), box, "Return")
                        run.wait(timeout=15)
                    finally:
                        run.kill()
                        server.stop()
                self.assert_fatal(run, "Fatal error in ", report)

    def test_unsafe_names_are_refused_before_any_change(self):
        root = self.scratch / "unsafe root"
        harness.write_tree(self.scratch / "unsafe src", {harness.GAME_EXE: harness.GAME_STUB})
        harness.publish(self.scratch / "unsafe src", root)
        self.serve(root)
        cases = {what: (entries, fragment) for what, entries, fragment in test_names.REFUSED}
        for what in UNSAFE:
            entries, fragment = cases[what]
            with self.subTest(what):
                harness.write_file_list(root, entries, self.scratch)
                directory = self.stage({"unlisted canary.txt": b"deleted only by a scan\n"})
                before = harness.snapshot(directory)

                run = harness.run_launcher(directory)
                self.assert_fatal(run, "unsafe name", fragment)
                self.assertEqual(run.transfers(), [url_for(LIST_NAME)], run.describe())
                after = harness.snapshot(directory)
                after.pop(f"game/{LIST_NAME}", None)  # the refused list itself
                self.assertEqual(after, before, f"the tree changed\n{run.describe()}")

    def test_bundle_without_the_servers_authority_fails(self):
        # Schannel without a CA file accepts any certificate under Wine: the launcher must hand
        # it the bundle, and a bundle that does not vouch for the server must fail, at once.
        self.serve(self.root)
        directory = self.stage()
        shutil.copyfile(SYSTEM_BUNDLE, directory / "curl-ca-bundle.crt")
        run = harness.run_launcher(directory)
        errors = run.curl_errors()
        self.assertEqual(len(errors), 1, run.describe())
        self.assertIn("SSL", errors[-1], run.describe())
        self.assert_fatal(run, f"Error downloading. {errors[-1]}")
        self.assertEqual(run.retries(), [], run.describe())
        self.assertEqual(run.transfers(), [], run.describe())

    def test_second_instance_exits_0_and_touches_nothing(self):
        slow = {harness.GAME_EXE: harness.GAME_STUB,
                SLOW_FILE: random.Random(1).randbytes(SLOW_FILE_SIZE)}  # incompressible
        harness.write_tree(self.scratch / "slow src", slow)
        self.serve(harness.publish(self.scratch / "slow src", self.scratch / "slow root"),
                   rate=SLOW_RATE)
        first = harness.LauncherRun(self.stage())
        try:
            # The first one holds the single-instance lock from its start; its download shows
            # that it is well under way.
            partial = first.directory / "game" / (SLOW_FILE + ".zs")
            first.wait_for(lambda: partial.exists(), 30, "the first instance's download")

            canary = self.stage({SLOW_FILE: b"stale, would be fetched", "unlisted.txt": b"x"})
            before = harness.snapshot(canary)
            second = harness.run_launcher(canary, timeout=SECOND_RUN_TIMEOUT_S)
            self.assert_status(second, 0)
            self.assertEqual(second.stdout_lines, [], "the second instance started working\n"
                             + second.describe())
            self.assertEqual(harness.snapshot(canary), before, "the second instance touched its tree")
            self.assertIsNone(first.process.poll(), "the first instance ended\n" + first.describe())
            first.wait()
        finally:
            first.kill()
        self.assert_status(first, 0)
        self.assert_game_started(first)
        harness.assert_files_equal(self, slow, first.directory / "game", msg=first.describe())

    def test_lock_abandoned_by_an_ended_instance_is_taken_over(self):
        # An instance that ended owning the lock, while another process still had it open,
        # leaves it abandoned: the next launcher owns it and must run, not report itself as
        # already running.
        self.serve(self.root_without_missing())
        helper = wine_harness.HOLDER
        env = harness.launcher_env()
        holder = subprocess.Popen(helper + ["mutex", str(HOLD_S)], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            self.assertEqual(holder.stdout.readline().strip(), "holding")
            abandon = subprocess.run(helper + ["abandon"], env=env, stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=30, check=False)
            self.assertEqual(abandon.returncode, 0, abandon.stderr)
            run = harness.run_launcher(self.stage())
        finally:
            holder.kill()
            holder.wait()
            holder.stdout.close()
        self.assert_status(run, 0)
        self.assertIn("All jobs completed", run.stdout_lines, run.describe())
        self.assert_game_started(run)

    def root_without_missing(self):
        """A published tree with every listed file present."""
        root = self.scratch / "complete root"
        if not root.exists():
            harness.write_tree(self.scratch / "complete src",
                               {k: v for k, v in self.source.items() if k != MISSING})
            harness.publish(self.scratch / "complete src", root)
        return root


if __name__ == "__main__":
    unittest.main()
