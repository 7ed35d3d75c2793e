"""Players behind a CDN edge (Apache Traffic Server, scripts/cdn-edge.sh) in front of nginx, with
the cache rules the README recommends: many signed launchers at once, a publish while they
download, a rollback. Each launcher runs as a user of its own (the single-instance lock is per
user); each ends with exactly one published version."""

import collections
import os
import random
import shutil
import subprocess
import unittest
from unittest import mock

import harness
from harness import E2ETestCase
from test_signed_list import SIGNED_LAUNCHER, key, sequence

ORIGIN_PORT, PLAYERS, FIRST_UID = 4444, 50, 20000


def version(seed, files=24, size=40_000):
    rng = random.Random(seed)
    return {harness.GAME_EXE: harness.GAME_STUB, **{f"data/{i:02d}.bin": rng.randbytes(size) for i in range(files)}}


class CdnTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.enterClassContext(mock.patch.object(harness, "LAUNCHER_EXE", SIGNED_LAUNCHER))
        os.chmod(cls.scratch, 0o755)  # players of other users reach their directories
        cls.root = cls.scratch / "root"
        cls.root.mkdir()
        cls.origin = cls.serve(cls.root, rate="2m", port=ORIGIN_PORT)
        shutil.copytree(cls.cert_dir, cls.scratch / "edge" / "certs")  # one authority for edge and origin
        edge = [harness.SCRIPTS_DIR / "cdn-edge.sh"]
        started = subprocess.run([*edge, "start", cls.scratch / "edge", str(ORIGIN_PORT)], capture_output=True, text=True)
        cls.addClassCleanup(subprocess.run, [*edge, "stop", cls.scratch / "edge"], capture_output=True)
        if started.returncode != 0:
            raise RuntimeError(f"cdn-edge.sh start failed:\n{started.stdout}{started.stderr}")

    def publish(self, files, *options):
        harness.publish(files, self.root, "--sign", key("vendor"), *options)

    def players(self, count, like=None):
        """COUNT launcher directories, each owned by a user of its own: (directory, uid)."""
        staged = []
        for uid in range(FIRST_UID, FIRST_UID + count):
            directory = self.stage(like=like)
            subprocess.run(["chown", "-R", f"{uid}:{uid}", directory], check=True)
            staged.append((directory, uid))
        return staged

    def start(self, players):
        return [harness.LauncherRun(d, prefix=harness.as_user(u)) for d, u in players]

    def origin_requests(self, since):
        """(path, status, bytes) of every file the origin served since log offset SINCE."""
        return [r for r in harness.requests(self.origin.access_log()[since:]) if r[0].startswith("/windows/")]

    def test_players_at_once_install_exactly_while_the_origin_sends_each_file_about_once(self):
        v1 = version(1)
        self.publish(v1)
        since = len(self.origin.access_log())
        runs = [run.wait(180) for run in self.start(self.players(PLAYERS))]
        for run in runs:
            self.assert_ok(run, v1)
        served = self.origin_requests(since)
        per_file = collections.Counter(path for path, _, _ in served if path.startswith("/windows/data/"))
        self.assertEqual(len(per_file), len(v1) - 1, served)  # the game's stub is cached from other tests
        # Requests for a file not yet cached wait for the one fetch of it (20 s at most): how many reach the origin
        # depends on timing; most never do.
        self.assertLess(sum(per_file.values()), PLAYERS * len(per_file) // 2, per_file)
        lists = [path for path, _, _ in served if path.endswith((".zs", ".sig"))]
        self.assertGreaterEqual(len(lists), 2 * PLAYERS, "the list or its statement came from the edge's cache")

    def test_a_publish_while_players_download_converges_and_a_rollback_reaches_them_at_once(self):
        v1, v2 = version(2, files=30, size=200_000), version(3, files=30, size=200_000)
        self.publish(v1)
        players = self.players(5)
        runs = self.start(players)
        runs[0].wait_for(lambda: len(runs[0].transfers()) > 2, 60, "transfer")
        self.publish(v2)
        for run in runs:
            run.wait(180)
            self.assertEqual(run.returncode, 0, run.describe())
            installed = harness.snapshot(run.directory / "game", files_only=True)
            self.assert_ok(run, v2 if installed.get("data/00.bin") == v2["data/00.bin"] else v1, skip=harness.UPD_OLD)
        for run in self.start(players):  # the next start installs the new publish
            self.assert_ok(run.wait(120), v2, skip=harness.UPD_OLD)
        rollback = subprocess.run([harness.PUBLISH_EXE, "rollback", "--sign", key("vendor"), self.root, "live"],
                                  capture_output=True, text=True)
        self.assertIn("is live already", rollback.stderr)
        releases = subprocess.run([harness.PUBLISH_EXE, "releases", self.root], capture_output=True, text=True)
        release = releases.stdout.splitlines()[-1].split()[0]  # newest first: the first publish, v1
        rollback = subprocess.run([harness.PUBLISH_EXE, "rollback", "--sign", key("vendor"), self.root, release],
                                  capture_output=True, text=True)
        self.assertEqual(rollback.returncode, 0, rollback.stderr)
        for run in self.start(players):  # a signed launcher takes the rollback: a new publish, signed anew
            self.assert_ok(run.wait(120), v1, skip=harness.UPD_OLD)
            self.assertEqual(sequence(run.directory), 3, run.describe())


if __name__ == "__main__":
    unittest.main()
