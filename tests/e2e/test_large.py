"""Large games: a file past 4 GiB (sparse, so that it is quick) installs, resumes after a kill and is
current by the record at the next start."""

import os
import shutil
import tempfile
import unittest
from pathlib import Path

import harness
from harness import E2ETestCase

HUGE, HUGE_SIZE = "data/huge.pak", (1 << 32) + 5_000_003
MARKS = {0: b"first", (1 << 32) - 2: b"across 4 GiB", (1 << 32) + 4096: b"past 4 GiB", HUGE_SIZE - 4: b"last"}


class HugeFileTest(E2ETestCase):
    def test_a_file_past_4_gib_installs_resumes_and_is_current_by_the_record(self):
        # On a disk: the installed copy is not sparse.
        disk = Path(tempfile.mkdtemp(prefix="velm-e2e-huge-", dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, disk, ignore_errors=True)
        if shutil.disk_usage(disk).free < HUGE_SIZE + (4 << 30):
            self.skipTest(f"{disk} cannot hold a copy of {HUGE_SIZE} bytes")
        game = disk / "source"
        harness.write_tree(game, {harness.GAME_EXE: harness.GAME_STUB})
        (game / HUGE).parent.mkdir()
        with open(game / HUGE, "wb") as f:
            f.truncate(HUGE_SIZE)
            for offset, mark in MARKS.items():
                f.seek(offset)
                f.write(mark)
        root = harness.publish(str(game), disk / "root")
        self.serve(root, rate="40k")  # about 4 s for its 0.16 MB of zstd
        directory = self.stage(directory=disk / "player")
        temporary = directory / "game" / (HUGE + ".zs")
        first = harness.LauncherRun(directory)
        first.wait_for(lambda: temporary.exists() and temporary.stat().st_size > 20000, 60, "partial download")
        first.kill()
        second = harness.run_launcher(directory, timeout=300)
        self.assertGreater(second.resumed().get(HUGE, 0), 20000 - 256, second.describe())
        self.assert_ok(second)
        installed = directory / "game" / HUGE
        self.assertEqual(installed.stat().st_size, HUGE_SIZE)
        with open(installed, "rb") as f:
            for offset, mark in MARKS.items():
                f.seek(offset)
                self.assertEqual(f.read(len(mark)), mark, offset)
        third = harness.run_launcher(directory)
        self.assertEqual(third.summary(), "2 current by the record of verified files, 0 by their SHA-1, 0 fetched",
                         third.describe())
        self.assert_ok(third)


if __name__ == "__main__":
    unittest.main()
